#include "RegistryTestSupport.h"

#include "registry/CppPaths.h"
#include "registry/RegFile.h"
#include "registry/Registry.h"

#include <gtest/gtest.h>

namespace orvane::test {
namespace {

const std::string kIDE = "SOFTWARE\\Embarcadero\\BDS\\22.0\\";
const std::string kPaths = kIDE + "C++\\Paths\\";
const std::string kMarkedDir = Native("/home/u/Documents/Orvane/22.0/");

std::string Added(const std::string& ADir, const std::string& APlatform) {
    const std::string b = ADir + APlatform + Native("/Release/");
    return b + ";" + b + Native("C/;") + b + Native("C/hpp/;") + b + Native("C/lib/;");
}

struct TFixture {
    TTempStore Store;
    TFixture() { ImportRegFile(*Store, FixturePath("ide-22.0.reg")); }
    std::string Text(const std::string& AKey, const std::string& AName) {
        return ReadText(*Store, AKey, AName);
    }
};

const std::string kWin32Include = "$(BDSINCLUDE)\\windows\\crtl;$(BDSINCLUDE)\\windows\\sdk;"
                                  "$(BDSINCLUDE)\\windows\\rtl;$(BDSINCLUDE)\\windows\\vcl;";
const std::string kWin32Clang = "$(BDSINCLUDE)\\windows\\crtl;$(BDSINCLUDE)\\windows\\sdk;"
                                "$(BDSINCLUDE)\\windows\\rtl;";
const std::string kLibs = "$(BDSLIB)\\$(PLATFORM)\\release;$(BDSLIB)\\$(PLATFORM)\\release\\psdk;";

TEST(CppPaths, TheFourDirectoriesFollowTheCleanedList) {
    TTempStore store;
    ASSERT_TRUE(store->CreateKey(kPaths + "Win32"));
    ASSERT_TRUE(store->SetValue(kPaths + "Win32", SzValue("IncludePath", "C:\\Inc;")));
    RegisterCppPaths(*store, "22.0", Native("T/"), {});
    EXPECT_EQ(ReadText(*store, kPaths + "Win32", "IncludePath"),
              "C:\\Inc;" + Native("T/Win32/Release/;T/Win32/Release/C/;T/Win32/Release/C/hpp/;"
                                  "T/Win32/Release/C/lib/;"));
}

TEST(CppPaths, RegisterEditsEveryExistingValueOfTheThreePlatforms) {
    TFixture f;
    RegisterCppPaths(*f.Store, "22.0", kMarkedDir, {});
    RegisterCppPaths(*f.Store, "22.0", kMarkedDir, {});

    struct TCase {
        std::string Platform;
        std::string Value;
        std::string Expected;
    } const cases[] = {
        {"Win32", "IncludePath", kWin32Include + Added(kMarkedDir, "Win32")},
        {"Win32", "IncludePath_Clang32", kWin32Clang + Added(kMarkedDir, "Win32")},
        {"Win32", "LibraryPath", kLibs + Added(kMarkedDir, "Win32")},
        {"Win32", "LibraryPath_Clang32", kLibs + Added(kMarkedDir, "Win32")},
        {"Win32", "BrowsingPath", "$(BDS)\\source\\vcl"},
        {"Win64", "IncludePath", kWin32Include + Added(kMarkedDir, "Win64")},
        {"Win64", "LibraryPath", kLibs + Added(kMarkedDir, "Win64")},
        {"Win64", "IncludePath_Clang32", "<missing>"},
        {"Win64", "LibraryPath_Clang32", "<missing>"},
        // Android gets its entries whatever platforms the package has.
        {"Android", "IncludePath",
         "$(BDSINCLUDE)\\android\\crtl;$(BDSINCLUDE)\\android\\rtl;" +
             Added(kMarkedDir, "Android")},
        {"Android", "LibraryPath",
         "$(BDSLIB)\\$(PLATFORM)\\release;" + Added(kMarkedDir, "Android")},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(f.Text(kPaths + c.Platform, c.Value), c.Expected) << c.Platform << " " << c.Value;
    }
    EXPECT_FALSE(f.Store->KeyExists(kPaths + "Android32"));
    EXPECT_FALSE(f.Store->KeyExists(kPaths + "Linux64"));
}

TEST(CppPaths, RegisterHandlesKnownAndDisabledPackages) {
    TFixture f;
    RegisterCppPaths(*f.Store, "22.0", kMarkedDir,
                     {{"/ide/Bpl/Orvane_Core280.bpl", "Orvane_Core280.bpl"}});
    const std::vector<std::string> known{
        "$(BDS)\\Bin\\dclstd280.bpl", "$(BDS)\\Bin\\dclDBXDrivers280.bpl",
        "$(BDS)\\Bin\\dclFMXtee9280.bpl", "C:\\Libs\\orvane_legacy.bpl",
        "/ide/Bpl/Orvane_Core280.bpl"};
    EXPECT_EQ(InValueOrder(f.Store->ValueNames(kIDE + "Known Packages")), InValueOrder(known));
    EXPECT_EQ(InValueOrder(f.Store->ValueNames(kIDE + "Disabled Packages")),
              InValueOrder({"$(BDS)\\Bin\\dclIPIndyImpl280.bpl"}));
}

TEST(CppPaths, UnregisterLeavesEmptyValuesAndTheDisabledKey) {
    TFixture f;
    ASSERT_TRUE(f.Store->SetValue(kPaths + "Android",
                                  SzValue("IncludePath", "C:\\orvane\\Win32\\Release\\C\\hpp\\;")));
    RegisterCppPaths(*f.Store, "22.0", kMarkedDir, {{"/ide/Bpl/Orvane_Core280.bpl", "x"}});
    // Something the uninstallation of C++ paths must not touch.
    ASSERT_TRUE(
        f.Store->SetValue(kIDE + "Disabled Packages", SzValue("/ide/Bpl/Orvane_Old.bpl", "x")));
    UnregisterCppPaths(*f.Store, "22.0");

    EXPECT_EQ(f.Text(kPaths + "Win32", "IncludePath"), kWin32Include);
    EXPECT_EQ(f.Text(kPaths + "Win32", "LibraryPath_Clang32"), kLibs);
    EXPECT_EQ(f.Text(kPaths + "Win64", "LibraryPath"), kLibs);
    EXPECT_EQ(f.Text(kPaths + "Android", "IncludePath"), "");
    EXPECT_EQ(f.Text(kPaths + "Win64", "IncludePath_Clang32"), "<missing>");
    EXPECT_EQ(f.Text(kIDE + "Known Packages", "/ide/Bpl/Orvane_Core280.bpl"), "<missing>");
    EXPECT_EQ(f.Text(kIDE + "Disabled Packages", "/ide/Bpl/Orvane_Old.bpl"), "x");
}

TEST(CppPaths, NonStringPathValueStopsWithTheError) {
    TFixture f;
    ASSERT_TRUE(f.Store->SetValue(kPaths + "Win64", TypedValue("LibraryPath", rtMultiSz, {0, 0})));
    try {
        RegisterCppPaths(*f.Store, "22.0", kMarkedDir, {});
        ADD_FAILURE() << "no error";
    } catch (const ERegistryException& e) {
        EXPECT_STREQ(e.what(), "Invalid data type for 'LibraryPath'");
    }
    EXPECT_EQ(f.Text(kPaths + "Win64", "IncludePath"), kWin32Include + Added(kMarkedDir, "Win64"));
    EXPECT_EQ(f.Text(kPaths + "Android", "LibraryPath"), "$(BDSLIB)\\$(PLATFORM)\\release");
}

// A package or path key the user may read but not change fails the step,
// naming the key, and keeps its values.
TEST(CppPaths, KeyThatMayNotBeChangedFailsTheStep) {
    const std::string known = kIDE + "Known Packages";
    for (const std::string& locked : {known, kPaths + "Win32", kPaths + "Android"}) {
        SCOPED_TRACE(locked);
        TFixture f;
        const auto store = DenyWrites(f.Store, locked);
        const std::string before = ValuesOf(*f.Store, locked);

        for (const bool install : {true, false}) {
            try {
                if (install) {
                    RegisterCppPaths(*store, "22.0", kMarkedDir,
                                     {{"/ide/Bpl/Orvane_Core280.bpl", "Orvane_Core280.bpl"}});
                } else {
                    UnregisterCppPaths(*store, "22.0");
                }
                ADD_FAILURE() << "no error, install " << install;
            } catch (const ERegistryException& e) {
                EXPECT_EQ(std::string(e.what()).rfind("Failed to open key " + locked, 0), 0u)
                    << e.what();
            }
            EXPECT_EQ(ValuesOf(*f.Store, locked), before);
        }
    }
}

TEST(CppPaths, MissingIDEKeysAreNotCreated) {
    TTempStore store;
    RegisterCppPaths(*store, "22.0", kMarkedDir, {{"/x/Orvane_A.bpl", "Orvane_A.bpl"}});
    UnregisterCppPaths(*store, "22.0");
    EXPECT_TRUE(store->SubKeyNames("").empty());
}

} // namespace
} // namespace orvane::test
