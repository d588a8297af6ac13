#include "StoreContract.h"

#include "RegistryTestSupport.h"

#include <algorithm>

namespace orvane::test {

namespace {

const std::string kContractRoot = "SOFTWARE\\OrvaneStoreContract";

// Each test gets its own temp folder that outlives the store.
std::unique_ptr<TTempDir>& TempDirHolder() {
    static std::unique_ptr<TTempDir> holder;
    return holder;
}

std::vector<std::uint8_t> Bytes(std::initializer_list<int> AValues) {
    std::vector<std::uint8_t> out;
    for (int v : AValues) {
        out.push_back(static_cast<std::uint8_t>(v));
    }
    return out;
}

} // namespace

void StoreContract::SetUp() {
    TempDirHolder() = std::make_unique<TTempDir>();
    FTempDir = TempDirHolder()->Path();
    FStore = GetParam().Create(FTempDir);
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info->test_suite_name()) + "." + info->name();
    std::replace(name.begin(), name.end(), '/', '_');
    FTestKey = kContractRoot + "\\" + name;
    FStore->DeleteKey(FTestKey);
    ASSERT_TRUE(FStore->CreateKey(FTestKey));
}

void StoreContract::TearDown() {
    // The shared parent stays: removing it could race with a test running in parallel.
    if (FStore) {
        FStore->DeleteKey(FTestKey);
    }
    FStore.reset();
    TempDirHolder().reset();
}

std::string StoreContract::Key(const std::string& ASub) const {
    return ASub.empty() ? FTestKey : FTestKey + "\\" + ASub;
}

std::string FactoryName(const ::testing::TestParamInfo<TStoreFactory>& AInfo) {
    return AInfo.param.Name;
}

TEST_P(StoreContract, CreateKeyMakesMissingParents) {
    ASSERT_TRUE(FStore->CreateKey(Key("A\\B\\C")));
    for (const char* path : {"A", "A\\B", "A\\B\\C"}) {
        EXPECT_TRUE(FStore->KeyExists(Key(path))) << path;
    }
    EXPECT_FALSE(FStore->KeyExists(Key("A\\B\\C\\D")));
    EXPECT_FALSE(FStore->KeyExists(Key("B")));
    // Creating an existing key succeeds and changes nothing.
    ASSERT_TRUE(FStore->SetValue(Key("A\\B"), SzValue("kept", "yes")));
    ASSERT_TRUE(FStore->CreateKey(Key("A\\B")));
    EXPECT_TRUE(FStore->GetValue(Key("A\\B"), "kept").has_value());
}

TEST_P(StoreContract, KeyNamesIgnoreCaseAndKeepTheirCase) {
    ASSERT_TRUE(FStore->CreateKey(Key("MixedCase\\Inner")));
    EXPECT_TRUE(FStore->KeyExists(Key("MIXEDCASE\\inner")));
    EXPECT_TRUE(FStore->KeyExists(Key("mixedcase")));
    ASSERT_TRUE(FStore->CreateKey(Key("MIXEDCASE\\INNER\\Deeper")));
    EXPECT_EQ(FStore->SubKeyNames(Key()), std::vector<std::string>{"MixedCase"});
    EXPECT_EQ(FStore->SubKeyNames(Key("mixedCASE")), std::vector<std::string>{"Inner"});
}

TEST_P(StoreContract, NonAsciiKeyNamesIgnoreCase) {
    ASSERT_TRUE(FStore->CreateKey(Key("Ünïcode-Ключ")));
    EXPECT_TRUE(FStore->KeyExists(Key("üNÏCODE-ключ")));
    EXPECT_EQ(FStore->SubKeyNames(Key()), std::vector<std::string>{"Ünïcode-Ключ"});
}

TEST_P(StoreContract, SubKeysEnumerateInCaseInsensitiveNameOrder) {
    // Windows compares upper-cased names: "_" sorts after the letters.
    for (const char* name :
         {"delta", "Alpha", "_under", "charlie", "Bravo", "Win64", "win32", "zulu"}) {
        ASSERT_TRUE(FStore->CreateKey(Key(name)));
    }
    std::vector<std::string> expected{"Alpha", "Bravo", "charlie", "delta",
                                      "win32", "Win64", "zulu",    "_under"};
    std::vector<std::string> names = FStore->SubKeyNames(Key());
    if (!GetParam().OrdersSubKeysUpperCased) {
        std::erase(expected, "_under");
        EXPECT_EQ(std::erase(names, "_under"), 1u);
    }
    EXPECT_EQ(names, expected);
}

TEST_P(StoreContract, ValuesEnumerateInCreationOrder) {
    if (!GetParam().KeepsValueCreationOrder) {
        GTEST_SKIP() << "this registry sorts values";
    }
    for (const char* name : {"zeta", "alpha", "Mid", ""}) {
        ASSERT_TRUE(FStore->SetValue(Key(), SzValue(name, "x")));
    }
    // Replacing a value keeps its place.
    ASSERT_TRUE(FStore->SetValue(Key(), DwordValue("ALPHA", 7)));
    const std::vector<std::string> expected{"zeta", "alpha", "Mid", ""};
    EXPECT_EQ(FStore->ValueNames(Key()), expected);
}

TEST_P(StoreContract, ValueNamesIgnoreCase) {
    ASSERT_TRUE(FStore->SetValue(Key(), SzValue("Search Path", "one")));
    const auto value = FStore->GetValue(Key(), "SEARCH PATH");
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(value->Name, "Search Path");
    ASSERT_TRUE(FStore->SetValue(Key(), SzValue("search path", "two")));
    EXPECT_EQ(FStore->ValueNames(Key()).size(), 1u);
    EXPECT_EQ(FStore->GetValue(Key(), "Search Path")->Data, SzValue("", "two").Data);
}

TEST_P(StoreContract, TypesAndRawBytesAreKept) {
    std::vector<std::uint8_t> large(5000);
    for (std::size_t i = 0; i < large.size(); ++i) {
        large[i] = static_cast<std::uint8_t>(i * 7);
    }
    const std::vector<TRegValue> cases{
        SzValue("sz", "C:\\Program Files (x86)\\Embarcadero"),
        TypedValue("sz without terminator", rtSz, Bytes({'a', 0, 'b', 0})),
        TypedValue("sz odd length", rtSz, Bytes({'a', 0, 'b'})),
        TypedValue("sz embedded nul", rtSz, Bytes({'a', 0, 0, 0, 'b', 0, 0, 0})),
        TypedValue("expand", rtExpandSz, SzValue("", "%BDS%\\bin").Data),
        TypedValue("multi", rtMultiSz, Bytes({'a', 0, 0, 0, 'b', 0, 0, 0, 0, 0})),
        DwordValue("dword", 0xDEADBEEF),
        TypedValue("qword", rtQword, Bytes({1, 2, 3, 4, 5, 6, 7, 8})),
        TypedValue("binary", rtBinary, large),
        TypedValue("none with data", rtNone, Bytes({0xFF})),
        TypedValue("none empty", rtNone, {}),
        TypedValue("binary empty", rtBinary, {}),
        TypedValue("unnamed type", static_cast<TRegValueType>(0x20), Bytes({9})),
    };
    for (const auto& value : cases) {
        ASSERT_TRUE(FStore->SetValue(Key(), value)) << value.Name;
    }
    const auto unterminated = [](const TRegValue& AValue) {
        return AValue.Type == rtSz && AValue.Data.size() % 2 == 0 && AValue.Data.size() >= 2 &&
               (AValue.Data[AValue.Data.size() - 2] != 0 || AValue.Data.back() != 0);
    };
    for (const auto& value : cases) {
        const auto read = FStore->GetValue(Key(), value.Name);
        ASSERT_TRUE(read.has_value()) << value.Name;
        EXPECT_EQ(read->Name, value.Name);
        EXPECT_EQ(read->Type, value.Type) << value.Name;
        if (!GetParam().KeepsUnterminatedStrings && unterminated(value)) {
            EXPECT_EQ(std::vector<std::uint8_t>(read->Data.begin(),
                                                read->Data.begin() + value.Data.size()),
                      value.Data)
                << value.Name;
            continue;
        }
        EXPECT_EQ(read->Data, value.Data) << value.Name;
    }
}

TEST_P(StoreContract, MissingKeysAndValues) {
    EXPECT_FALSE(FStore->GetValue(Key(), "absent").has_value());
    EXPECT_FALSE(FStore->GetValue(Key("Nowhere"), "absent").has_value());
    EXPECT_TRUE(FStore->SubKeyNames(Key("Nowhere")).empty());
    EXPECT_TRUE(FStore->ValueNames(Key("Nowhere")).empty());
    // Writing into a missing key fails and does not create it.
    EXPECT_FALSE(FStore->SetValue(Key("Nowhere"), SzValue("v", "x")));
    EXPECT_FALSE(FStore->KeyExists(Key("Nowhere")));
    EXPECT_FALSE(FStore->DeleteValue(Key(), "absent"));
    EXPECT_FALSE(FStore->DeleteKey(Key("Nowhere")));
}

TEST_P(StoreContract, CanWriteKeyAnswersForExistingKeysOnly) {
    ASSERT_TRUE(FStore->CreateKey(Key("Here")));
    EXPECT_TRUE(FStore->CanWriteKey(Key("Here")));
    EXPECT_TRUE(FStore->CanWriteKey(Key("HERE")));
    EXPECT_FALSE(FStore->CanWriteKey(Key("Nowhere")));
    EXPECT_FALSE(FStore->KeyExists(Key("Nowhere")));
}

TEST_P(StoreContract, DeleteValueRemovesOnlyThatValue) {
    ASSERT_TRUE(FStore->SetValue(Key(), SzValue("one", "1")));
    ASSERT_TRUE(FStore->SetValue(Key(), SzValue("two", "2")));
    EXPECT_TRUE(FStore->DeleteValue(Key(), "ONE"));
    EXPECT_FALSE(FStore->GetValue(Key(), "one").has_value());
    EXPECT_EQ(FStore->ValueNames(Key()), std::vector<std::string>{"two"});
}

TEST_P(StoreContract, DeleteKeyRemovesEverythingBelow) {
    ASSERT_TRUE(FStore->CreateKey(Key("Gone\\Child\\Grandchild")));
    ASSERT_TRUE(FStore->CreateKey(Key("Gone\\Other")));
    ASSERT_TRUE(FStore->CreateKey(Key("Sibling")));
    ASSERT_TRUE(FStore->SetValue(Key("Gone\\Child\\Grandchild"), SzValue("deep", "x")));
    ASSERT_TRUE(FStore->SetValue(Key("Sibling"), SzValue("kept", "x")));

    EXPECT_TRUE(FStore->DeleteKey(Key("gone")));
    for (const char* path : {"Gone", "Gone\\Child", "Gone\\Child\\Grandchild", "Gone\\Other"}) {
        EXPECT_FALSE(FStore->KeyExists(Key(path))) << path;
    }
    EXPECT_FALSE(FStore->GetValue(Key("Gone\\Child\\Grandchild"), "deep").has_value());
    EXPECT_TRUE(FStore->GetValue(Key("Sibling"), "kept").has_value());
    // Recreating the key finds nothing of the old one.
    ASSERT_TRUE(FStore->CreateKey(Key("Gone")));
    EXPECT_TRUE(FStore->SubKeyNames(Key("Gone")).empty());
}

TEST_P(StoreContract, SaveKeyWritesANewFileOnly) {
    ASSERT_TRUE(FStore->CreateKey(Key("Saved\\Below")));
    ASSERT_TRUE(FStore->SetValue(Key("Saved\\Below"), SzValue("v", "data")));
    const auto file = FTempDir / "saved.reg";
    ASSERT_TRUE(FStore->SaveKey(Key("Saved"), file));
    ASSERT_TRUE(std::filesystem::exists(file));
    EXPECT_GT(std::filesystem::file_size(file), 0u);

    EXPECT_FALSE(FStore->SaveKey(Key("Nowhere"), FTempDir / "nowhere.reg"));
    EXPECT_FALSE(FStore->SaveKey(Key("Saved"), FTempDir / "no folder" / "saved.reg"));
    if (GetParam().SaveRefusesExistingFile) {
        WriteFileBytes(FTempDir / "existing.reg", "keep me");
        EXPECT_FALSE(FStore->SaveKey(Key("Saved"), FTempDir / "existing.reg"));
        EXPECT_EQ(ReadFileBytes(FTempDir / "existing.reg"), "keep me");
    }
}

} // namespace orvane::test
