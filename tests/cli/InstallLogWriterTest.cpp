// install.log as the console program writes it, in the window's encoding.
#include "cli/InstallLogWriter.h"
#include "support/FileText.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

using orvane::cli::AppendInstallLogEntry;
using orvane::cli::FormatLogEntry;

namespace {

struct TLogCase {
    const char* Label;
    const char* Before; // nullptr: no file yet
    std::string Entry;
    std::string After;
};

const std::string KBom = "\xEF\xBB\xBF";

// ASCII stays single-byte; the first entry outside ASCII turns the file into
// UTF-8 with a mark, the earlier single-byte text converted; a marked file
// takes UTF-8 as it is.
TEST(InstallLogWriter, KeepsTheWindowsEncodingRule) {
    const std::vector<TLogCase> LCases = {
        {"new file, ASCII", nullptr, "<t> one\r\n", "<t> one\r\n"},
        {"ASCII after ASCII", "<t> one\r\n", "<t> two\r\n", "<t> one\r\n<t> two\r\n"},
        {"new file, UTF-8", nullptr, "<t> Jos\xc3\xa9\r\n", KBom + "<t> Jos\xc3\xa9\r\n"},
        {"UTF-8 after single-byte", "<t> caf\xe9\r\n", "<t> \xe6\x97\xa5\r\n",
         KBom + "<t> caf\xc3\xa9\r\n<t> \xe6\x97\xa5\r\n"},
        {"UTF-8 after ASCII", "<t> one\r\n", "<t> Jos\xc3\xa9\r\n",
         KBom + "<t> one\r\n<t> Jos\xc3\xa9\r\n"},
        {"after the mark", "\xEF\xBB\xBF<t> Jos\xc3\xa9\r\n", "<t> two\r\n",
         KBom + "<t> Jos\xc3\xa9\r\n<t> two\r\n"},
    };
    for (const TLogCase& LCase : LCases) {
        TTempDir LTemp;
        const auto LFile = LTemp / "install.log";
        if (LCase.Before) {
            WriteFileText(LFile, LCase.Before);
        }
        EXPECT_TRUE(AppendInstallLogEntry(LFile, LCase.Entry)) << LCase.Label;
        EXPECT_EQ(ReadFileText(LFile), LCase.After) << LCase.Label;
        EXPECT_FALSE(std::filesystem::exists(LTemp / "install.log.new")) << LCase.Label;
    }
}

TEST(InstallLogWriter, EntryFormat) {
    std::tm LTime{};
    LTime.tm_year = 2024 - 1900;
    LTime.tm_mon = 3;
    LTime.tm_mday = 8;
    LTime.tm_hour = 19;
    LTime.tm_min = 38;
    LTime.tm_sec = 3;
    EXPECT_EQ(FormatLogEntry(LTime, 120, "Uninstallation done"),
              "<2024-04-08 19:38:03.120> Uninstallation done\r\n");
    EXPECT_EQ(FormatLogEntry(LTime, 7, ""), "<2024-04-08 19:38:03.007> \r\n");
}

TEST(InstallLogWriter, UnwritableFolderLosesTheEntryQuietly) {
    TTempDir LTemp;
    EXPECT_FALSE(AppendInstallLogEntry(LTemp / "missing" / "install.log", "<t> one\r\n"));
}

} // namespace
