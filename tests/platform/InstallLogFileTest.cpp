// install.log as both programs write it: one encoding rule, entries appended
// without reading the whole file.
#include "platform/InstallLogFile.h"
#include "support/FileText.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <cstdint>

#ifndef _WIN32
#include <unistd.h>
#endif

using orvane::AppendInstallLogEntry;
using orvane::FormatLogEntry;

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
TEST(InstallLogFile, KeepsOneEncodingRule) {
    const std::vector<TLogCase> LCases = {
        {"new file, ASCII", nullptr, "<t> one\r\n", "<t> one\r\n"},
        {"ASCII after ASCII", "<t> one\r\n", "<t> two\r\n", "<t> one\r\n<t> two\r\n"},
        {"ASCII after single-byte", "<t> caf\xe9\r\n", "<t> two\r\n", "<t> caf\xe9\r\n<t> two\r\n"},
        {"new file, UTF-8", nullptr, "<t> Jos\xc3\xa9\r\n", KBom + "<t> Jos\xc3\xa9\r\n"},
        {"UTF-8 into an empty file", "", "<t> \xc3\xa4\r\n", KBom + "<t> \xc3\xa4\r\n"},
        {"UTF-8 after single-byte", "<t> caf\xe9\r\n", "<t> \xe6\x97\xa5\r\n",
         KBom + "<t> caf\xc3\xa9\r\n<t> \xe6\x97\xa5\r\n"},
        {"UTF-8 after ASCII", "<t> one\r\n", "<t> Jos\xc3\xa9\r\n",
         KBom + "<t> one\r\n<t> Jos\xc3\xa9\r\n"},
        {"after the mark", "\xEF\xBB\xBF<t> Jos\xc3\xa9\r\n", "<t> two\r\n",
         KBom + "<t> Jos\xc3\xa9\r\n<t> two\r\n"},
        {"UTF-8 after the mark", "\xEF\xBB\xBF<t> \xc3\xa4\r\n", "<t> \xe2\x82\xac\r\n",
         KBom + "<t> \xc3\xa4\r\n<t> \xe2\x82\xac\r\n"},
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

// Once converted, the file is UTF-8: its content is never read as single-byte
// text again.
TEST(InstallLogFile, LaterEntriesFollowTheConvertedContent) {
    TTempDir LTemp;
    const auto LFile = LTemp / "install.log";
    WriteFileText(LFile, "<t> \xe4\r\n");
    for (const char* LEntry : {"<t> \xc3\xa4\r\n", "<t> \xc3\xa4\r\n", "<t> end\r\n"}) {
        ASSERT_TRUE(AppendInstallLogEntry(LFile, LEntry));
    }
    EXPECT_EQ(ReadFileText(LFile),
              KBom + "<t> \xc3\xa4\r\n<t> \xc3\xa4\r\n<t> \xc3\xa4\r\n<t> end\r\n");
}

// An entry costs the same on a long log as on a short one: on a (sparse) log
// of 8 GiB, reading the content for each entry would take minutes and more
// memory than the process may have.
TEST(InstallLogFile, AnEntryDoesNotReadTheWholeFile) {
    TTempDir LTemp;
    for (const std::string& LHead : {KBom, std::string("<t> one\r\n")}) {
        const auto LFile = LTemp / "install.log";
        WriteFileText(LFile, LHead);
        const std::uintmax_t LSize = std::uintmax_t{8} << 30;
        std::filesystem::resize_file(LFile, LSize);
        const std::string LEntry = LHead == KBom ? "<t> \xc3\xa4 line\r\n" : "<t> line\r\n";
        for (int LIndex = 0; LIndex < 100; ++LIndex) {
            ASSERT_TRUE(AppendInstallLogEntry(LFile, LEntry));
        }
        EXPECT_EQ(std::filesystem::file_size(LFile), LSize + 100 * LEntry.size());
        std::filesystem::remove(LFile);
    }
}

TEST(InstallLogFile, EntryFormat) {
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
    EXPECT_EQ(FormatLogEntry(LTime, 0, "100% of %1 <ERROR>"),
              "<2024-04-08 19:38:03.000> 100% of %1 <ERROR>\r\n");
}

TEST(InstallLogFile, UnwritablePlacesLoseTheEntryAndChangeNothing) {
    TTempDir LTemp;
    std::filesystem::create_directory(LTemp / "install.log");
    for (const auto& LFile : {LTemp / "missing" / "install.log", LTemp / "install.log"}) {
        EXPECT_FALSE(AppendInstallLogEntry(LFile, "<t> one\r\n")) << LFile;
        EXPECT_FALSE(AppendInstallLogEntry(LFile, "<t> \xc3\xa4\r\n")) << LFile;
        EXPECT_FALSE(orvane::CanAppendTo(LFile)) << LFile;
    }
    EXPECT_FALSE(std::filesystem::exists(LTemp / "missing"));
#ifndef _WIN32
    // Root writes to read-only files.
    if (geteuid() != 0) {
        const auto LReadOnly = LTemp / "read-only.log";
        WriteFileText(LReadOnly, "<t> \xe4\r\n");
        std::filesystem::permissions(LReadOnly, std::filesystem::perms::owner_read);
        EXPECT_FALSE(AppendInstallLogEntry(LReadOnly, "<t> a\r\n"));
        EXPECT_FALSE(AppendInstallLogEntry(LReadOnly, "<t> \xc3\xa4\r\n"));
        EXPECT_EQ(ReadFileText(LReadOnly), "<t> \xe4\r\n");
    }
#endif
}

// Where no temporary file can be made beside the log (its name would be too
// long for the file system, whoever runs the test), the log is not rewritten
// in place: the old bytes stay and the entry follows with "?" for what
// single-byte text cannot hold.
TEST(InstallLogFile, WithoutATemporaryFileTheHistoryStays) {
    TTempDir LTemp;
    const auto LFile = LTemp / (std::string(251, 'l') + ".log");
    const std::string LHistory = "<t> C:\\Tmp\\\xe4\r\n<t> two\r\n";
    WriteFileText(LFile, LHistory);
    EXPECT_TRUE(AppendInstallLogEntry(LFile, "<t> \xc3\xa4\xe2\x82\xac\r\n"));
    EXPECT_TRUE(AppendInstallLogEntry(LFile, "<t> end\r\n"));
    EXPECT_EQ(ReadFileText(LFile), LHistory + "<t> ??\r\n<t> end\r\n");
}

} // namespace
