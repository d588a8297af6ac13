#include "RegistryTestSupport.h"

#include "registry/RegFile.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <sys/wait.h>

namespace orvane::test {
namespace {

struct TRun {
    int Exit = -1;
    std::string Out;
    std::string Err;
};

std::string Quote(const std::string& AText) {
    std::string out = "'";
    for (char c : AText) {
        if (c == '\'') {
            out += "'\\''";
        } else {
            out += c;
        }
    }
    return out + "'";
}

TRun RunTool(const TTempDir& ADir, const std::vector<std::string>& AArgs) {
    std::string command = Quote(ORVANE_REG_TOOL);
    for (const auto& arg : AArgs) {
        command += " " + Quote(arg);
    }
    const auto errFile = ADir / "stderr.txt";
    command += " 2>" + Quote(errFile.string());
    TRun run;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) {
        return run;
    }
    char buffer[4096];
    std::size_t n = 0;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) {
        run.Out.append(buffer, n);
    }
    const int status = pclose(pipe);
    run.Exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.Err = ReadFileBytes(errFile);
    return run;
}

TEST(OrvaneRegTool, ImportThenExportToStdoutAndFile) {
    TTempDir dir;
    const std::string store = (dir / "store.sqlite").string();
    const auto imported = RunTool(dir, {"--store", store, "import", FixturePath("ide-22.0.reg").string()});
    ASSERT_EQ(imported.Exit, 0) << imported.Err;

    const auto exported = RunTool(dir, {"--store", store, "export", "HKCU\\SOFTWARE\\Embarcadero\\BDS"});
    ASSERT_EQ(exported.Exit, 0) << exported.Err;
    auto opened = OpenSqliteRegistryStore(store);
    const std::string text = ExportRegText(*opened, "SOFTWARE\\Embarcadero\\BDS");
    EXPECT_EQ(exported.Out, text);
    EXPECT_NE(text.find("[HKEY_CURRENT_USER\\SOFTWARE\\Embarcadero\\BDS\\22.0\\C++\\Paths\\Win64]"),
              std::string::npos);

    const auto file = dir / "out.reg";
    WriteFileBytes(file, "replaced by the export");
    const auto toFile = RunTool(
        dir, {"--store", store, "export", "HKEY_CURRENT_USER\\SOFTWARE\\Embarcadero", file.string()});
    ASSERT_EQ(toFile.Exit, 0) << toFile.Err;
    EXPECT_EQ(ReadFileBytes(file), EncodeRegFileBytes(ExportRegText(*opened, "SOFTWARE\\Embarcadero")));
}

TEST(OrvaneRegTool, ErrorsAndUsage) {
    TTempDir dir;
    const std::string store = (dir / "store.sqlite").string();
    WriteFileBytes(dir / "bad.reg", "Windows Registry Editor Version 5.00\n\n[HKCU\\A]\n\"x\"=what\n");
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

} // namespace
} // namespace orvane::test
