#include "platform/SystemFolders.h"
#include "platform/Win32Text.h"

#include <shlobj.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <stdexcept>
#include <string>

namespace {

namespace fs = std::filesystem;

std::string CurrentDir() {
    wchar_t buffer[MAX_PATH];
    const DWORD len = GetCurrentDirectoryW(MAX_PATH, buffer);
    return orvane::Narrow(std::wstring(buffer, len));
}

// The public documents folder asked for by its known-folder id, a second
// route to the folder that CSIDL_COMMON_DOCUMENTS names.
TEST(SystemFoldersWin, CommonDocumentsIsThePublicDocumentsFolder) {
    PWSTR known = nullptr;
    ASSERT_EQ(SHGetKnownFolderPath(FOLDERID_PublicDocuments, 0, nullptr, &known), S_OK);
    const std::string expected = orvane::Narrow(known);
    CoTaskMemFree(known);

    const std::string dir = orvane::GetCommonDocumentsDir();
    EXPECT_EQ(dir, expected);
    ASSERT_FALSE(dir.empty());
    EXPECT_NE(dir.back(), '\\');
    EXPECT_TRUE(fs::is_directory(orvane::Widen(dir)));
}

// The IDE folder offered by default lies in the folder Windows names for 32-bit
// programs, wherever that is: moved to another drive, it follows.
TEST(SystemFoldersWin, DefaultIDEFolderFollowsTheProgramFilesFolder) {
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Microsoft\\Windows\\CurrentVersion", 0,
                            KEY_QUERY_VALUE | KEY_SET_VALUE, &key),
              ERROR_SUCCESS);
    const wchar_t* const name = L"ProgramFilesDir (x86)";
    wchar_t saved[MAX_PATH] = {};
    DWORD savedSize = sizeof saved;
    const bool hadValue =
        RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(saved), &savedSize) ==
        ERROR_SUCCESS;
    EXPECT_EQ(orvane::DefaultIDEFolder(), orvane::Narrow(saved) + "\\Embarcadero\\Studio\\");

    const std::wstring moved = L"D:\\Programme (x86)";
    ASSERT_EQ(RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(moved.c_str()),
                             static_cast<DWORD>((moved.size() + 1) * sizeof(wchar_t))),
              ERROR_SUCCESS);
    const std::string folder = orvane::DefaultIDEFolder();
    if (hadValue)
        RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(saved), savedSize);
    else
        RegDeleteValueW(key, name);
    RegCloseKey(key);
    EXPECT_EQ(folder, "D:\\Programme (x86)\\Embarcadero\\Studio\\");
}

TEST(SystemFoldersWin, ExecutableDirHoldsThisExecutable) {
    const std::string dir = orvane::GetExecutableDir();
    ASSERT_FALSE(dir.empty());
    EXPECT_EQ(dir.back(), '\\');
    EXPECT_EQ(dir.find('/'), std::string::npos);
    EXPECT_TRUE(fs::is_regular_file(orvane::Widen(dir + "test_platform.exe")));
}

TEST(SystemFoldersWin, Delimiter) {
    EXPECT_EQ(orvane::PathDelimiter(), '\\');
    EXPECT_EQ(orvane::IncludeTrailingPathDelimiter("C:\\a"), "C:\\a\\");
    EXPECT_EQ(orvane::IncludeTrailingPathDelimiter("C:\\a\\"), "C:\\a\\");
    EXPECT_EQ(orvane::IncludeTrailingPathDelimiter(""), "\\");
}

// The inputs the parent-of rule hands to the full-path function: a folder, a
// backslash and "..\". A rooted path without a drive is taken on the drive of
// the current folder (C: when the tests start in the prefix's drive_c).
TEST(SystemFoldersWin, FullPathNameResolvesParentOfInputs) {
    const std::string cwd = CurrentDir();
    ASSERT_GE(cwd.size(), 3u);
    const std::string drive = cwd.substr(0, 2);
    struct TCase {
        std::string Input;
        std::string Expected;
    };
    const TCase cases[] = {
        {"C:\\Program Files (x86)\\Embarcadero\\Studio\\22.0\\..\\",
         "C:\\Program Files (x86)\\Embarcadero\\Studio\\"},
        {"C:\\Users\\Public\\Documents\\Embarcadero\\Studio\\22.0\\CatalogRepository\\..\\",
         "C:\\Users\\Public\\Documents\\Embarcadero\\Studio\\22.0\\"},
        {"C:\\a\\.\\b\\..\\c\\..\\", "C:\\a\\"},
        {"C:\\a\\..\\..\\..\\", "C:\\"},
        {"D:\\x\\y\\..\\", "D:\\x\\"},
        {"\\..\\", drive + "\\"},
        {"\\Program Files\\22.0\\..\\", drive + "\\Program Files\\"},
        {"sub\\22.0\\..\\", orvane::IncludeTrailingPathDelimiter(cwd) + "sub\\"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Input);
        EXPECT_EQ(orvane::FullPathName(c.Input), c.Expected);
    }
}

TEST(SystemFoldersWin, FullPathNameRefusesCharactersNoPathMayHold) {
    for (const char* input : {"C:\\a|b\\..\\", "C:\\a<b\\..\\", "C:\\a>b", "C:\\a\"b", "C:\\a?b",
                              "C:\\a*b", "C:\\a:b\\..\\", "C:\\a\tb"}) {
        SCOPED_TRACE(input);
        EXPECT_THROW(orvane::FullPathName(input), std::runtime_error);
    }
}

} // namespace
