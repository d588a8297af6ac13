#include "RegistryTestSupport.h"

#include "registry/GetItInstallations.h"
#include "registry/IDELocations.h"
#include "registry/RegFile.h"

#include "support/ProgramRun.h"

#include <gtest/gtest.h>

namespace orvane::test {
namespace {

using TRun = TProgramRun;

TRun RunTool(const TTempDir& ADir, const std::vector<std::string>& AArgs) {
    std::string command = ShellWord(ORVANE_REG_TOOL);
    for (const auto& arg : AArgs) {
        command += " " + ShellWord(arg);
    }
    return RunProgram(command, ADir / "stderr.txt");
}

TEST(OrvaneRegTool, ImportThenExportToStdoutAndFile) {
    TTempDir dir;
    const std::string store = (dir / "store.sqlite").string();
    const auto imported =
        RunTool(dir, {"--store", store, "import", FixturePath("ide-22.0.reg").string()});
    ASSERT_EQ(imported.Exit, 0) << imported.Err;

    const auto exported =
        RunTool(dir, {"--store", store, "export", "HKCU\\SOFTWARE\\Embarcadero\\BDS"});
    ASSERT_EQ(exported.Exit, 0) << exported.Err;
    auto opened = OpenSqliteRegistryStore(store);
    const std::string text = ExportRegText(*opened, "SOFTWARE\\Embarcadero\\BDS");
    EXPECT_EQ(exported.Out, text);
    EXPECT_NE(text.find("[HKEY_CURRENT_USER\\SOFTWARE\\Embarcadero\\BDS\\22.0\\C++\\Paths\\Win64]"),
              std::string::npos);

    const auto file = dir / "out.reg";
    WriteFileBytes(file, "replaced by the export");
    const auto toFile = RunTool(dir, {"--store", store, "export",
                                      "HKEY_CURRENT_USER\\SOFTWARE\\Embarcadero", file.string()});
    ASSERT_EQ(toFile.Exit, 0) << toFile.Err;
    EXPECT_EQ(ReadFileBytes(file),
              EncodeRegFileBytes(ExportRegText(*opened, "SOFTWARE\\Embarcadero")));
}

TEST(OrvaneRegTool, ErrorsAndUsage) {
    TTempDir dir;
    const std::string store = (dir / "store.sqlite").string();
    WriteFileBytes(dir / "bad.reg",
                   "Windows Registry Editor Version 5.00\n\n[HKCU\\A]\n\"x\"=what\n");
    struct TCase {
        std::vector<std::string> Args;
        int Exit;
        const char* Fragment;
    } const cases[] = {
        {{"--store", store, "import", (dir / "bad.reg").string()}, 1, "line 4:"},
        {{"--store", store, "import", (dir / "missing.reg").string()}, 1, "cannot open"},
        {{"--store", store, "export", "HKEY_LOCAL_MACHINE\\SOFTWARE"}, 1, "HKEY_CURRENT_USER"},
        {{"--store", store, "export", "HKCU\\Nowhere"}, 1, "key not found"},
        {{"--store", (dir / "bad.reg").string(), "export", "HKCU\\A"}, 1, "bad.reg"},
        {{}, 2, "usage"},
        {{"import"}, 2, "usage"},
        {{"frobnicate", "x"}, 2, "usage"},
    };
    for (const auto& c : cases) {
        const auto run = RunTool(dir, c.Args);
        EXPECT_EQ(run.Exit, c.Exit) << run.Err;
        EXPECT_NE(run.Err.find(c.Fragment), std::string::npos) << run.Err;
    }
    // The failed import left nothing behind.
    auto opened = OpenSqliteRegistryStore(store);
    EXPECT_TRUE(opened->SubKeyNames("").empty());
}

TEST(OrvaneRegTool, DefaultStoreIsTheUsersStore) {
    TTempDir dir;
    setenv("XDG_DATA_HOME", (dir / "data").c_str(), 1);
    const auto run = RunTool(dir, {"import", FixturePath("getit.reg").string()});
    ASSERT_EQ(run.Exit, 0) << run.Err;
    auto store = OpenSqliteRegistryStore(dir / "data" / "orvane" / "registry.sqlite");
    EXPECT_TRUE(store->KeyExists("SOFTWARE\\Embarcadero\\BDS\\23.0\\CatalogRepository\\Elements"));
}

TEST(SandboxSeed, SeedsTwoIDEVersionsTheRoutinesFind) {
    TTempDir dir;
    // Characters a shell or sed would trip over.
    const auto sandbox = dir / "demo sandbox & co";
    const char* source = std::getenv("ORVANE_SOURCE_DIR");
    ASSERT_NE(source, nullptr);
    const std::string command = "bash " + ShellWord(std::string(source) + "/tools/sandbox/seed") +
                                " --reg-tool " + ShellWord(ORVANE_REG_TOOL) + " " +
                                ShellWord(sandbox.string()) + " >/dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0);
    // Twice: seeding again resets the IDE keys.
    ASSERT_EQ(std::system(command.c_str()), 0);

    const std::string root = sandbox.string();
    for (const char* folder : {"Embarcadero/Studio/22.0/bin", "Embarcadero/Studio/23.0/bin",
                               "Public/Documents/Embarcadero/Studio/22.0/Bpl",
                               "Public/Documents/Embarcadero/Studio/23.0/Dcp"}) {
        EXPECT_TRUE(std::filesystem::is_directory(sandbox / folder)) << folder;
    }
    auto store = OpenSqliteRegistryStore(sandbox / "home" / ".local" / "share" / "orvane" /
                                         "registry.sqlite");
    EXPECT_EQ(FindDefaultIDEDir(*store), root + "/Embarcadero/Studio/");
    EXPECT_EQ(GetIDECommonDir(*store, "22.0"), root + "/Public/Documents/Embarcadero/Studio/22.0/");
    EXPECT_EQ(GetIDECommonDir(*store, "23.0"), root + "/Public/Documents/Embarcadero/Studio/23.0/");
    EXPECT_TRUE(HasGetItInstallation(*store));
    const std::string bds = "SOFTWARE\\Embarcadero\\BDS\\";
    for (const char* version : {"22.0", "23.0"}) {
        for (const char* key : {"Known Packages", "Disabled Packages", "Library\\Win32",
                                "Library\\Win64", "Library\\Android32", "C++\\Paths\\Win32",
                                "C++\\Paths\\Win64", "C++\\Paths\\Android"}) {
            EXPECT_TRUE(store->KeyExists(bds + version + "\\" + key)) << version << " " << key;
        }
        EXPECT_EQ(store->ValueNames(bds + version + "\\C++\\Paths\\Win64").size(), 4u);
        EXPECT_NE(ReadText(*store, bds + version + "\\Library\\Win32", "Search Path"), "<missing>");
    }
}

} // namespace
} // namespace orvane::test
