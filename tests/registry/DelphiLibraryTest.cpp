#include "RegistryTestSupport.h"

#include "registry/DelphiLibrary.h"
#include "registry/RegFile.h"
#include "registry/Registry.h"

#include <gtest/gtest.h>

namespace orvane::test {
namespace {

const std::string kIDE = "SOFTWARE\\Embarcadero\\BDS\\22.0\\";
const std::string kKnown = kIDE + "Known Packages";
const std::string kDisabled = kIDE + "Disabled Packages";
const std::string kLib = kIDE + "Library\\";
// The default download folder holds the marker; a folder chosen elsewhere may not.
const std::string kMarkedDir = Native("/home/u/Documents/Orvane/22.0/");
const std::string kPlainDir = Native("/opt/packages/22.0/");

const std::string kWin32Old = "c:\\program files (x86)\\embarcadero\\studio\\22.0\\lib\\Win32\\"
                              "release;$(BDSUSERDIR)\\Imports;$(BDS)\\Imports;$(BDSCOMMONDIR)\\Dcp;"
                              "$(BDS)\\include;";
const std::string kWin64Old = "$(BDSLIB)\\$(Platform)\\release;$(BDSUSERDIR)\\Imports;$(BDS)\\"
                              "Imports;$(BDSCOMMONDIR)\\Dcp\\$(Platform);$(BDS)\\include;";
const std::string kAndroidOld = kWin64Old;

const TKnownPackagePairs kPairs{
    {"/ide/22.0/Bpl/Orvane_Core280.bpl", "Orvane_Core280.bpl"},
    {"/ide/22.0/Bpl/Orvane_Design280.bpl", "Orvane_Design280.bpl"},
};

struct TFixture {
    TTempStore Store;
    TFixture() { ImportRegFile(*Store, FixturePath("ide-22.0.reg")); }
    std::string Text(const std::string& AKey, const std::string& AName) {
        return ReadText(*Store, AKey, AName);
    }
};

TEST(CleanPathList, Table) {
    struct TCase {
        std::string In;
        std::string Out;
    } const cases[] = {
        {"", ""},
        {"C:\\Lib;;X\\orvane\\Win32\\Release\\; C:\\Other ;", "C:\\Lib; C:\\Other ;"},
        {"A;B", "A;B;"},
        {";;;", ""},
        {"A;C:\\ORVANE\\x;B;", "A;C:\\ORVANE\\x;B;"},
        {"A;D:\\OrVaNe-lib\\;A;", "A;D:\\OrVaNe-lib\\;A;"},
        {"  ;\t;B", "B;"},
        {"C:\\orvane", "C:\\orvane;"},
        // A user's own folder that merely contains the word stays.
        {"C:\\Work\\orvane-helpers\\lib;X", "C:\\Work\\orvane-helpers\\lib;X;"},
        // The installer's forms, with either separator and in any case.
        {"A;D:\\Orvane\\22.0\\Win32\\Release\\;B", "A;B;"},
        {"D:\\dl\\orvane\\22.0\\Win64\\release\\C\\;"
         "D:\\dl\\orvane\\22.0\\Win64\\Release\\c\\hpp\\;"
         "/home/u/orvane/22.0/Win32/Release/C/lib/;K",
         "K;"},
        {"D:\\orvane\\22.0\\Win32\\Release;D:\\orvane\\22.0\\Win32\\Release\\C\\x\\",
         "D:\\orvane\\22.0\\Win32\\Release;D:\\orvane\\22.0\\Win32\\Release\\C\\x\\;"},
        {"x;\x01y\x1f;", "x;\x01y\x1f;"},
        {"C:\\Lib\\Orvan\\e;", "C:\\Lib\\Orvan\\e;"},
        {"$(BDS)\\lib;\"C:\\quoted;path\"", "$(BDS)\\lib;\"C:\\quoted;path\";"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(CleanPathList(c.In), c.Out) << c.In;
    }
}

TEST(DelphiLibrary, RegisterReplacesTheFrameworksEntries) {
    TFixture f;
    RegisterDelphiLibrary(*f.Store, "22.0", kMarkedDir, kPairs, {"Win32", " Win64 ", "Android"});

    EXPECT_EQ(f.Text(kLib + "Win32", "Search Path"),
              kWin32Old + kMarkedDir + Native("Win32/Release/") + ";");
    EXPECT_EQ(f.Text(kLib + "Win64", "Search Path"),
              kWin64Old + kMarkedDir + Native("Win64/Release/") + ";");
    // "Android" is registered under the Android32 key with its own folder name.
    EXPECT_EQ(f.Text(kLib + "Android32", "Search Path"),
              kAndroidOld + kMarkedDir + Native("Android/Release/") + ";");
    EXPECT_FALSE(f.Store->KeyExists(kLib + "Android"));
    // A platform the package does not have is left alone.
    EXPECT_EQ(f.Text(kLib + "Android64", "Search Path"), "<missing>");
    // Other values of the library keys stay.
    EXPECT_EQ(f.Text(kLib + "Win32", "Package DPL Output"), "$(BDSCOMMONDIR)\\Bpl");

    // Registering again leaves one entry per platform.
    RegisterDelphiLibrary(*f.Store, "22.0", kMarkedDir, kPairs, {"Win32"});
    EXPECT_EQ(f.Text(kLib + "Win32", "Search Path"),
              kWin32Old + kMarkedDir + Native("Win32/Release/") + ";");
}

TEST(DelphiLibrary, RegisterWritesKnownPackagesAndCleansDisabledOnes) {
    TFixture f;
    TKnownPackagePairs pairs = kPairs;
    // A pair whose value already exists is rewritten (and moves to the end).
    pairs.push_back({"$(BDS)\\Bin\\dclstd280.bpl", "dclstd280.bpl"});
    RegisterDelphiLibrary(*f.Store, "22.0", kMarkedDir, pairs, {"Win32"});

    const std::vector<std::string> known{
        "$(BDS)\\Bin\\dclDBXDrivers280.bpl",  "$(BDS)\\Bin\\dclFMXtee9280.bpl",
        "C:\\Libs\\orvane_legacy.bpl",        "/ide/22.0/Bpl/Orvane_Core280.bpl",
        "/ide/22.0/Bpl/Orvane_Design280.bpl", "$(BDS)\\Bin\\dclstd280.bpl",
    };
    EXPECT_EQ(InValueOrder(f.Store->ValueNames(kKnown)), InValueOrder(known));
    EXPECT_EQ(f.Text(kKnown, "/ide/22.0/Bpl/Orvane_Core280.bpl"), "Orvane_Core280.bpl");
    EXPECT_EQ(f.Text(kKnown, "$(BDS)\\Bin\\dclstd280.bpl"), "dclstd280.bpl");
    EXPECT_EQ(InValueOrder(f.Store->ValueNames(kDisabled)),
              InValueOrder({"$(BDS)\\Bin\\dclIPIndyImpl280.bpl"}));
}

TEST(DelphiLibrary, EntriesWithoutTheMarkerAreNeverReplaced) {
    TFixture f;
    RegisterDelphiLibrary(*f.Store, "22.0", kPlainDir, {}, {"Win32"});
    RegisterDelphiLibrary(*f.Store, "22.0", kPlainDir, {}, {"Win32"});
    const std::string entry = kPlainDir + Native("Win32/Release/") + ";";
    EXPECT_EQ(f.Text(kLib + "Win32", "Search Path"), kWin32Old + entry + entry);
    UnregisterDelphiLibrary(*f.Store, "22.0");
    EXPECT_EQ(f.Text(kLib + "Win32", "Search Path"), kWin32Old + entry + entry);
}

TEST(DelphiLibrary, PlatformNamesAndMissingKeys) {
    struct TCase {
        const char* Name;
        std::vector<std::string> Platforms;
        std::string Key;   // library key that must hold the new entry
        std::string Entry; // "" when nothing may be added anywhere
    } const cases[] = {
        {"lower-case android is not mapped", {"android"}, "", ""},
        {"platform without library key", {"Linux64"}, "", ""},
        {"empty name from a stray comma", {"", " "}, "", ""},
        {"missing Search Path value",
         {"Android64"},
         kLib + "Android64",
         kPlainDir + Native("Android64/Release/") + ";"},
        {"padded name",
         {" Win64\t"},
         kLib + "Win64",
         kWin64Old + kPlainDir + Native("Win64/Release/") + ";"},
    };
    for (const auto& c : cases) {
        TFixture f;
        RegisterDelphiLibrary(*f.Store, "22.0", kPlainDir, {}, c.Platforms);
        for (const char* lib : {"Win32", "Win64", "Android32", "Android64"}) {
            const std::string key = kLib + lib;
            const std::string value = f.Text(key, "Search Path");
            if (key == c.Key) {
                EXPECT_EQ(value, c.Entry) << c.Name;
            } else {
                EXPECT_EQ(value.find(kPlainDir), std::string::npos) << c.Name << ": " << lib;
            }
        }
        for (const char* absent : {"android", "Linux64"}) {
            EXPECT_FALSE(f.Store->KeyExists(kLib + absent)) << c.Name;
        }
        EXPECT_EQ(f.Text(kIDE + "Library", "Search Path"), "<missing>") << c.Name;
    }
}

TEST(DelphiLibrary, NoPackageKeysNothingIsCreated) {
    TTempStore store;
    ASSERT_TRUE(store->CreateKey(kLib + "Win32"));
    RegisterDelphiLibrary(*store, "22.0", kMarkedDir, kPairs, {"Win32"});
    EXPECT_FALSE(store->KeyExists(kKnown));
    EXPECT_FALSE(store->KeyExists(kDisabled));
    EXPECT_EQ(ReadText(*store, kLib + "Win32", "Search Path"),
              kMarkedDir + Native("Win32/Release/") + ";");
    UnregisterDelphiLibrary(*store, "23.0");
    EXPECT_FALSE(store->KeyExists("SOFTWARE\\Embarcadero\\BDS\\23.0"));
}

TEST(DelphiLibrary, UnregisterCleansAllFourPlatformsAndBothPackageKeys) {
    TFixture f;
    RegisterDelphiLibrary(*f.Store, "22.0", kMarkedDir, kPairs, {"Win32", "Android"});
    UnregisterDelphiLibrary(*f.Store, "22.0");

    EXPECT_EQ(f.Text(kLib + "Win32", "Search Path"), kWin32Old);
    // Win64 held an earlier entry of the framework the package did not renew.
    EXPECT_EQ(f.Text(kLib + "Win64", "Search Path"), kWin64Old);
    EXPECT_EQ(f.Text(kLib + "Android32", "Search Path"), kAndroidOld);
    // A library key without "Search Path" gets an empty one.
    EXPECT_EQ(f.Text(kLib + "Android64", "Search Path"), "");
    const std::vector<std::string> known{
        "$(BDS)\\Bin\\dclstd280.bpl", "$(BDS)\\Bin\\dclDBXDrivers280.bpl",
        "$(BDS)\\Bin\\dclFMXtee9280.bpl", "C:\\Libs\\orvane_legacy.bpl"};
    EXPECT_EQ(InValueOrder(f.Store->ValueNames(kKnown)), InValueOrder(known));
    EXPECT_EQ(InValueOrder(f.Store->ValueNames(kDisabled)),
              InValueOrder({"$(BDS)\\Bin\\dclIPIndyImpl280.bpl"}));
}

TEST(DelphiLibrary, NonStringSearchPathStopsWithTheErrorAndKeepsEarlierWrites) {
    TFixture f;
    ASSERT_TRUE(f.Store->SetValue(kLib + "Win64", DwordValue("Search Path", 1)));
    try {
        RegisterDelphiLibrary(*f.Store, "22.0", kMarkedDir, kPairs, {"Win32", "Win64", "Android"});
        ADD_FAILURE() << "no error";
    } catch (const ERegistryException& e) {
        EXPECT_STREQ(e.what(), "Invalid data type for 'Search Path'");
    }
    EXPECT_EQ(f.Text(kKnown, "/ide/22.0/Bpl/Orvane_Core280.bpl"), "Orvane_Core280.bpl");
    EXPECT_EQ(f.Text(kLib + "Win32", "Search Path"),
              kWin32Old + kMarkedDir + Native("Win32/Release/") + ";");
    // The step after the failing one did not run.
    EXPECT_EQ(f.Text(kLib + "Android32", "Search Path"),
              kAndroidOld.substr(0, kAndroidOld.size() - 1));
}

// A key the user may read but not change (Known Packages, Disabled Packages,
// a library key) fails the registration, naming the key, instead of being
// skipped as if the IDE had no such key: nothing in it changes, and the
// uninstallation fails on it the same way.
TEST(DelphiLibrary, KeyThatMayNotBeChangedFailsTheRegistration) {
    for (const std::string& locked : {kKnown, kDisabled, kLib + "Win32", kLib + "Win64"}) {
        SCOPED_TRACE(locked);
        TFixture f;
        const auto store = DenyWrites(f.Store, locked);
        const std::string before = ValuesOf(*f.Store, locked);
        for (const bool install : {true, false}) {
            try {
                if (install) {
                    RegisterDelphiLibrary(*store, "22.0", kMarkedDir, kPairs, {"Win32", "Win64"});
                } else {
                    UnregisterDelphiLibrary(*store, "22.0");
                }
                ADD_FAILURE() << "no error, install " << install;
            } catch (const ERegistryException& e) {
                EXPECT_EQ(std::string(e.what()).rfind("Failed to open key " + locked, 0), 0u)
                    << e.what();
                const std::string text = e.what();
                EXPECT_EQ(text.substr(text.size() - 12), " for writing") << text;
            }
            EXPECT_EQ(ValuesOf(*f.Store, locked), before);
        }
    }
}

TEST(DelphiLibrary, PackageValueHelpersOnAnOpenKey) {
    TTempStore store;
    ASSERT_TRUE(store->CreateKey("K"));
    for (const char* name : {"a Orvane_1", "orvane_2", "Orvane_3 b", "ORVANE_4", "plain"}) {
        ASSERT_TRUE(store->SetValue("K", SzValue(name, "x")));
    }
    TRegistry reg(*store);
    ASSERT_TRUE(reg.OpenKey("K\\", false));
    RemoveMarkedPackageValues(reg);
    EXPECT_EQ(InValueOrder(store->ValueNames("K")),
              InValueOrder({"orvane_2", "ORVANE_4", "plain"}));
    WritePackagePairs(reg, {{"plain", "new"}, {"added", "1"}});
    EXPECT_EQ(InValueOrder(store->ValueNames("K")),
              InValueOrder({"orvane_2", "ORVANE_4", "plain", "added"}));
    EXPECT_EQ(ReadText(*store, "K", "plain"), "new");
}

} // namespace
} // namespace orvane::test
