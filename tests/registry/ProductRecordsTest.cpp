#include "RegistryTestSupport.h"

#include "registry/CppPaths.h"
#include "registry/DelphiLibrary.h"
#include "registry/ProductRecords.h"
#include "registry/RegFile.h"
#include "registry/RegText.h"
#include "registry/Registry.h"

#include <gtest/gtest.h>

#include <ctime>
#include <functional>
#include <regex>
#include <stdexcept>

namespace orvane::test {
namespace {

const std::string kRecord22 = "SOFTWARE\\Embarcadero\\Orvane\\22.0";

TOrvaneRegistryData Record(const std::string& AIDEVersion, const std::string& AVersion) {
    TOrvaneRegistryData data;
    data.IDEVersion = AIDEVersion;
    data.Version = AVersion;
    data.DateTime = "2026-12-10 02:30:00";
    data.License = "DEVELOPER";
    data.PackageType = "BASIC";
    data.Path = "/home/u/Documents/Orvane/" + AIDEVersion + "/";
    return data;
}

void ExpectSameRecord(const TOrvaneRegistryData& A, const TOrvaneRegistryData& B) {
    EXPECT_EQ(A.IDEVersion, B.IDEVersion);
    EXPECT_EQ(A.Version, B.Version);
    EXPECT_EQ(A.DateTime, B.DateTime);
    EXPECT_EQ(A.License, B.License);
    EXPECT_EQ(A.PackageType, B.PackageType);
    EXPECT_EQ(A.Path, B.Path);
}

TOrvaneRegistryData Junk() {
    TOrvaneRegistryData data;
    data.IDEVersion = data.Version = data.DateTime = data.License = data.PackageType = data.Path =
        "junk";
    return data;
}

TEST(ProductRecords, NoProductKey) {
    TTempStore store;
    EXPECT_TRUE(ReadInstalledVersions(*store).empty());
    TOrvaneRegistryData data = Junk();
    EXPECT_FALSE(ReadRegistryData(*store, "22.0", data));
    ExpectSameRecord(data, TOrvaneRegistryData{});
    DeleteRegistryData(*store, "22.0");
    EXPECT_FALSE(store->KeyExists("SOFTWARE\\Embarcadero\\Orvane"));
}

// An empty IDE version would address the product key or the BDS key itself:
// a record's values would land in the product key and a deletion would take
// every record with it.
TEST(ProductRecords, EmptyIDEVersionIsRefusedByEveryRoutine) {
    TTempStore store;
    ImportRegFile(*store, FixturePath("ide-22.0.reg"));
    WriteRegistryData(*store, Record("22.0", "1.0"));
    const std::string product = "SOFTWARE\\Embarcadero\\Orvane";
    const TKnownPackagePairs pairs{{"/Bpl/Orvane_Core.bpl", "Orvane_Core.bpl"}};
    const std::pair<const char*, std::function<void()>> calls[] = {
        {"write", [&] { WriteRegistryData(*store, Record("", "9.9")); }},
        {"delete", [&] { DeleteRegistryData(*store, ""); }},
        {"register library", [&] { RegisterDelphiLibrary(*store, "", "/v/", pairs, {"Win32"}); }},
        {"unregister library", [&] { UnregisterDelphiLibrary(*store, ""); }},
        {"register C++", [&] { RegisterCppPaths(*store, "", "/v/", pairs); }},
        {"unregister C++", [&] { UnregisterCppPaths(*store, ""); }},
    };
    for (const auto& [name, call] : calls) {
        EXPECT_THROW(call(), std::invalid_argument) << name;
        EXPECT_TRUE(store->ValueNames(product).empty()) << name;
        TOrvaneRegistryData data;
        ASSERT_TRUE(ReadRegistryData(*store, "22.0", data)) << name;
        EXPECT_EQ(data.Version, "1.0") << name;
    }
    TOrvaneRegistryData data = Junk();
    EXPECT_FALSE(ReadRegistryData(*store, "", data));
    ExpectSameRecord(data, TOrvaneRegistryData{});
    EXPECT_EQ(ReadInstalledVersions(*store).size(), 1u);
}

TEST(ProductRecords, WriteStoresFiveStringValuesInOrder) {
    TTempStore store;
    WriteRegistryData(*store, Record("22.0", "5.1.0.7"));
    const std::vector<std::string> names{"ORVANE_INSTALLED_VERSION", "ORVANE_INSTALLED_PATH",
                                         "ORVANE_DATETIME", "ORVANE_LICENSE", "ORVANE_PACKAGETYPE"};
    EXPECT_EQ(InValueOrder(store->ValueNames(kRecord22)), InValueOrder(names));
    for (const auto& name : names) {
        EXPECT_EQ(store->GetValue(kRecord22, name)->Type, rtSz) << name;
    }
    EXPECT_EQ(store->GetValue(kRecord22, "ORVANE_INSTALLED_VERSION")->Data,
              ToUtf16Le("5.1.0.7", true));
    // The product key itself holds no values.
    EXPECT_TRUE(store->ValueNames("SOFTWARE\\Embarcadero\\Orvane").empty());

    TOrvaneRegistryData read;
    ASSERT_TRUE(ReadRegistryData(*store, "22.0", read));
    ExpectSameRecord(read, Record("22.0", "5.1.0.7"));
}

TEST(ProductRecords, ReadKeepsTheCallersLetterCase) {
    TTempStore store;
    WriteRegistryData(*store, Record("Beta", "1"));
    TOrvaneRegistryData read;
    ASSERT_TRUE(ReadRegistryData(*store, "BETA", read));
    EXPECT_EQ(read.IDEVersion, "BETA");
    EXPECT_EQ(read.Version, "1");
    EXPECT_EQ(ReadInstalledVersions(*store).at(0).IDEVersion, "Beta");
}

TEST(ProductRecords, MissingValuesReadAsEmpty) {
    struct TCase {
        const char* Name;
        std::vector<std::pair<std::string, std::string>> Values;
        TOrvaneRegistryData Expected;
    };
    const std::vector<TCase> cases{
        {"no path",
         {{"ORVANE_INSTALLED_VERSION", "5.0"},
          {"ORVANE_DATETIME", "2026-01-02 03:04:05"},
          {"ORVANE_LICENSE", "DEVELOPER"},
          {"ORVANE_PACKAGETYPE", "GAMEPACKAGE"}},
         {"22.0", "5.0", "2026-01-02 03:04:05", "DEVELOPER", "GAMEPACKAGE", ""}},
        {"only version and path",
         {{"ORVANE_INSTALLED_VERSION", "5.0"}, {"ORVANE_INSTALLED_PATH", "/d/22.0/"}},
         {"22.0", "5.0", "", "", "", "/d/22.0/"}},
        {"empty key", {}, {"22.0", "", "", "", "", ""}},
    };
    for (const auto& c : cases) {
        TTempStore store;
        ASSERT_TRUE(store->CreateKey(kRecord22));
        for (const auto& [name, text] : c.Values) {
            ASSERT_TRUE(store->SetValue(kRecord22, SzValue(name, text)));
        }
        TOrvaneRegistryData read = Junk();
        ASSERT_TRUE(ReadRegistryData(*store, "22.0", read)) << c.Name;
        ExpectSameRecord(read, c.Expected);
        const auto all = ReadInstalledVersions(*store);
        ASSERT_EQ(all.size(), 1u) << c.Name;
        ExpectSameRecord(all[0], c.Expected);
    }
}

TEST(ProductRecords, NonStringValueFailsTheRead) {
    TTempStore store;
    WriteRegistryData(*store, Record("22.0", "5.0"));
    ASSERT_TRUE(store->SetValue(kRecord22, DwordValue("ORVANE_LICENSE", 1)));
    TOrvaneRegistryData read;
    try {
        ReadRegistryData(*store, "22.0", read);
        ADD_FAILURE() << "no error";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Invalid data type for 'ORVANE_LICENSE'");
    }
}

// Listing the records names a bad one instead of failing: the clean records
// and the bad one's readable values are all there.
TEST(ProductRecords, ListingKeepsARecordWithANonStringValueAndNamesTheFault) {
    TTempStore store;
    WriteRegistryData(*store, Record("22.0", "5.0"));
    WriteRegistryData(*store, Record("23.0", "6.0"));
    ASSERT_TRUE(store->SetValue(kRecord22, DwordValue("ORVANE_LICENSE", 1)));
    ASSERT_TRUE(store->SetValue(kRecord22, DwordValue("ORVANE_INSTALLED_PATH", 2)));
    const auto all = ReadInstalledVersions(*store);
    ASSERT_EQ(all.size(), 2u);
    TOrvaneRegistryData bad = Record("22.0", "5.0");
    bad.License.clear();
    bad.Path.clear();
    ExpectSameRecord(all[0], bad);
    EXPECT_EQ(all[0].ReadError, "Invalid data type for 'ORVANE_LICENSE'");
    ExpectSameRecord(all[1], Record("23.0", "6.0"));
    EXPECT_EQ(all[1].ReadError, "");
}

TEST(ProductRecords, RewriteReplacesTheValuesOfTheSameKey) {
    TTempStore store;
    WriteRegistryData(*store, Record("22.0", "5.0"));
    ASSERT_TRUE(store->SetValue(kRecord22, SzValue("SomethingElse", "stays")));
    auto second = Record("22.0", "6.0");
    second.DateTime = "2027-01-01 00:00:00";
    second.Path.clear();
    WriteRegistryData(*store, second);

    EXPECT_EQ(store->SubKeyNames("SOFTWARE\\Embarcadero\\Orvane"),
              std::vector<std::string>{"22.0"});
    TOrvaneRegistryData read;
    ASSERT_TRUE(ReadRegistryData(*store, "22.0", read));
    ExpectSameRecord(read, second);
    EXPECT_TRUE(store->GetValue(kRecord22, "SomethingElse").has_value());
}

// A record key that exists but may not be changed fails the write, naming the
// key: the version must not pass for recorded while the old record stays.
TEST(ProductRecords, WritingARecordKeyThatMayNotBeChangedFails) {
    TTempStore store;
    WriteRegistryData(*store, Record("22.0", "5.0"));
    const auto denied = DenyWrites(store, kRecord22);
    try {
        WriteRegistryData(*denied, Record("22.0", "6.0"));
        ADD_FAILURE() << "no error";
    } catch (const ERegistryException& e) {
        EXPECT_EQ(std::string(e.what()), "Failed to open key " + kRecord22 + "\\ for writing");
    }
    TOrvaneRegistryData read;
    ASSERT_TRUE(ReadRegistryData(*store, "22.0", read));
    EXPECT_EQ(read.Version, "5.0");
}

TEST(ProductRecords, DeleteRemovesOneRecordAndKeepsTheProductKey) {
    TTempStore store;
    WriteRegistryData(*store, Record("22.0", "5.0"));
    WriteRegistryData(*store, Record("23.0", "5.0"));
    DeleteRegistryData(*store, "22.0");
    DeleteRegistryData(*store, "21.0");
    const auto all = ReadInstalledVersions(*store);
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].IDEVersion, "23.0");
    DeleteRegistryData(*store, "23.0");
    EXPECT_TRUE(ReadInstalledVersions(*store).empty());
    EXPECT_TRUE(store->KeyExists("SOFTWARE\\Embarcadero\\Orvane"));
}

TEST(ProductRecords, ListFollowsTheRegistryOrderNotTheInstallOrder) {
    TTempStore store;
    for (const char* version : {"23.0", "12.0", "37.0", "22.0"}) {
        WriteRegistryData(*store, Record(version, std::string("v") + version));
    }
    std::vector<std::string> order;
    for (const auto& record : ReadInstalledVersions(*store)) {
        order.push_back(record.IDEVersion);
        EXPECT_EQ(record.Version, "v" + record.IDEVersion);
    }
    EXPECT_EQ(order, (std::vector<std::string>{"12.0", "22.0", "23.0", "37.0"}));
}

TEST(ProductRecords, CreateStampsTheLocalTime) {
    const std::time_t before = std::time(nullptr);
    const auto data = TOrvaneRegistryData::Create("22.0", "5.0", "DEVELOPER", "BASIC", "/d/22.0/");
    const std::time_t after = std::time(nullptr);
    EXPECT_EQ(data.IDEVersion, "22.0");
    EXPECT_EQ(data.Version, "5.0");
    EXPECT_EQ(data.License, "DEVELOPER");
    EXPECT_EQ(data.PackageType, "BASIC");
    EXPECT_EQ(data.Path, "/d/22.0/");
    ASSERT_TRUE(
        std::regex_match(data.DateTime, std::regex(R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2})")));
    std::tm parsed{};
    parsed.tm_isdst = -1;
    ASSERT_EQ(std::sscanf(data.DateTime.c_str(), "%d-%d-%d %d:%d:%d", &parsed.tm_year,
                          &parsed.tm_mon, &parsed.tm_mday, &parsed.tm_hour, &parsed.tm_min,
                          &parsed.tm_sec),
              6);
    parsed.tm_year -= 1900;
    parsed.tm_mon -= 1;
    const std::time_t stamped = std::mktime(&parsed);
    EXPECT_GE(stamped, before - 1);
    EXPECT_LE(stamped, after + 1);
}

} // namespace
} // namespace orvane::test
