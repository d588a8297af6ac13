#include "platform/SystemFolders.h"
#include "platform/Privilege.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include <pwd.h>
#include <unistd.h>

namespace orvane {
namespace {

struct TEnvCase {
    const char* Name;
    const char* DocumentsDir; // XDG_DOCUMENTS_DIR, nullptr: unset
    const char* UserDirsLine; // line in <config>/user-dirs.dirs, nullptr: no file
    bool ConfigHomeSet;
    bool HomeSet;
    std::string Expected; // "~" stands for HOME
};

TEST(SystemFolders, DocumentsFolderSources) {
    const auto base =
        std::filesystem::temp_directory_path() /
        ("folders-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
         std::to_string(std::rand()));
    const std::string home = (base / "home").string();
    const std::string config = (base / "config").string();
    const TEnvCase cases[] = {
        {"environment wins", "/data/Docs", "XDG_DOCUMENTS_DIR=\"$HOME/Dokumente\"", true, true,
         "/data/Docs"},
        {"trailing separator dropped", "/data/Docs/", nullptr, false, true, "/data/Docs"},
        {"relative environment ignored", "Docs", nullptr, false, true, "~/Documents"},
        {"user-dirs with $HOME", nullptr, "XDG_DOCUMENTS_DIR=\"$HOME/Dokumente\"", true, true,
         "~/Dokumente"},
        {"user-dirs absolute", nullptr, "  XDG_DOCUMENTS_DIR=\"/srv/docs\"", true, true,
         "/srv/docs"},
        {"user-dirs in ~/.config", nullptr, "XDG_DOCUMENTS_DIR=\"$HOME/Docs\"", false, true,
         "~/Docs"},
        {"user-dirs without the entry", nullptr, "XDG_MUSIC_DIR=\"$HOME/Music\"", true, true,
         "~/Documents"},
        {"nothing but HOME", nullptr, nullptr, false, true, "~/Documents"},
        {"nothing at all", nullptr, nullptr, false, false, ""},
    };
    for (const auto& c : cases) {
        std::filesystem::remove_all(base);
        std::filesystem::create_directories(base / "home" / ".config");
        std::filesystem::create_directories(base / "config");
        if (c.UserDirsLine) {
            const auto dir = c.ConfigHomeSet ? base / "config" : base / "home" / ".config";
            std::ofstream(dir / "user-dirs.dirs") << "# written by a test\n"
                                                  << c.UserDirsLine << "\n";
        }
        c.DocumentsDir ? setenv("XDG_DOCUMENTS_DIR", c.DocumentsDir, 1)
                       : unsetenv("XDG_DOCUMENTS_DIR");
        c.ConfigHomeSet ? setenv("XDG_CONFIG_HOME", config.c_str(), 1)
                        : unsetenv("XDG_CONFIG_HOME");
        c.HomeSet ? setenv("HOME", home.c_str(), 1) : unsetenv("HOME");
        std::string expected = c.Expected;
        if (expected.starts_with("~")) {
            expected = home + expected.substr(1);
        }
        EXPECT_EQ(GetCommonDocumentsDir(), expected) << c.Name;
    }
    std::filesystem::remove_all(base);
}

TEST(SystemFolders, FullPathNameNormalisesLexically) {
    const std::string cwd = std::filesystem::current_path().string();
    struct TCase {
        std::string In;
        std::string Out;
    } const cases[] = {
        {"/a/b/../c", "/a/c"},  {"/a/b/..", "/a/"}, {"/a/./b//c/", "/a/b/c/"},
        {"/../..", "/"},        {"/", "/"},         {"/a/b/../", "/a/"},
        {"x/../y", cwd + "/y"}, {"", cwd + "/"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(FullPathName(c.In), c.Out) << c.In;
    }
    EXPECT_THROW(FullPathName(std::string("/a\0b", 4)), std::runtime_error);
}

// Without a registered IDE the IDE folder field starts at a folder that exists
// here: the home folder, taken from the account when HOME is of no use.
TEST(SystemFolders, DefaultIDEFolderIsAnExistingAbsoluteFolder) {
    const char* saved = std::getenv("HOME");
    const std::string savedHome = saved ? saved : "";
    const passwd* account = getpwuid(getuid());
    ASSERT_NE(account, nullptr);
    std::string accountHome = account->pw_dir;
    if (accountHome.size() > 1 && accountHome.back() == '/') {
        accountHome.pop_back();
    }
    struct TCase {
        const char* Home; // nullptr: unset
        std::string Expected;
    } const cases[] = {
        {"/srv/me", "/srv/me/"},
        {"/srv/me//", "/srv/me/"},
        {"relative/home", accountHome == "/" ? "/" : accountHome + "/"},
        {"", accountHome == "/" ? "/" : accountHome + "/"},
        {nullptr, accountHome == "/" ? "/" : accountHome + "/"},
    };
    for (const auto& c : cases) {
        c.Home ? setenv("HOME", c.Home, 1) : unsetenv("HOME");
        EXPECT_EQ(DefaultIDEFolder(), c.Expected) << (c.Home ? c.Home : "(unset)");
    }
    saved ? setenv("HOME", savedHome.c_str(), 1) : unsetenv("HOME");
}

TEST(SystemFolders, ExecutableDirHoldsThisTest) {
    const std::string dir = GetExecutableDir();
    ASSERT_FALSE(dir.empty());
    EXPECT_EQ(dir.back(), '/');
    EXPECT_TRUE(std::filesystem::exists(dir + "test_platform"));
}

TEST(SystemFolders, TrailingDelimiter) {
    EXPECT_EQ(PathDelimiter(), '/');
    EXPECT_EQ(IncludeTrailingPathDelimiter("/a"), "/a/");
    EXPECT_EQ(IncludeTrailingPathDelimiter("/a/"), "/a/");
    EXPECT_EQ(IncludeTrailingPathDelimiter(""), "/");
}

TEST(Privilege, NothingToEnableWithoutProcessTokens) {
    EXPECT_TRUE(EnablePrivilege("SeBackupPrivilege", true));
    EXPECT_TRUE(EnablePrivilege("SeBackupPrivilege", false));
}

} // namespace
} // namespace orvane
