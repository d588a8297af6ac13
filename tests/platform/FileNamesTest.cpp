#include "platform/FileNames.h"

#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

namespace {

using orvane::FirstFreeFileName;
using orvane::IsIdeVersionText;
using orvane::PathFromUtf8;
using orvane::SafeFileName;
using orvane::UnsafeFileNameReason;
using orvane::Utf8FromPath;

struct TNameCase {
    std::string Name;
    bool Safe;
    std::string Sanitised; // what SafeFileName makes of it
};

TEST(FileNames, PlainNamesPassAndEverythingThatCouldLeaveTheFolderIsRefused) {
    const std::string LLong(256, 'a');
    const TNameCase LCases[] = {
        {"Orvane_22.0_1.4.2.zip", true, "Orvane_22.0_1.4.2.zip"},
        {"OrvaneCore.bpl", true, "OrvaneCore.bpl"},
        {"Fran\xC3\xA7ois (2).reg", true, "Fran\xC3\xA7ois (2).reg"},
        {".hidden", true, ".hidden"},
        {"CONSOLE.bpl", true, "CONSOLE.bpl"}, // only the device names themselves are reserved
        {"COM10", true, "COM10"},
        {"", false, "_"},
        {".", false, "_"},
        {"..", false, "._"},
        {"../../x.zip", false, ".._.._x.zip"},
        {"..\\..\\Windows", false, ".._.._Windows"},
        {"/etc/passwd", false, "_etc_passwd"},
        {"C:\\x.zip", false, "C__x.zip"},
        {"C:x.zip", false, "C_x.zip"},
        {"file.zip:stream", false, "file.zip_stream"},
        {std::string("a\0b.zip", 7), false, "a_b.zip"},
        {"tab\there", false, "tab_here"},
        {"Orvane-*?<>|\".reg", false, "Orvane-______.reg"},
        {"name.", false, "name_"},
        {"name ", false, "name_"},
        {"CON", false, "CON_"},
        {"con.zip", false, "con_.zip"},
        {"NUL .txt", false, "NUL _.txt"},
        {"COM1", false, "COM1_"},
        {"lpt9.bpl", false, "lpt9_.bpl"},
        {"COM0", false, "COM0_"},
        {"lpt0.dll", false, "lpt0_.dll"},
        {"CONOUT$", false, "CONOUT$_"},
        {"bad\xFFutf8", false, "bad\xEF\xBF\xBDutf8"},
        // Windows takes COM and LPT with a superscript 0 to 3 for devices too.
        {"COM\xE2\x81\xB0", false, "COM\xE2\x81\xB0_"},
        {"LPT\xE2\x81\xB0.dll", false, "LPT\xE2\x81\xB0_.dll"},
        {"COM\xC2\xB9", false, "COM\xC2\xB9_"},
        {"lpt\xC2\xB2.txt", false, "lpt\xC2\xB2_.txt"},
        {"COM\xC2\xB3 .bpl", false, "COM\xC2\xB3 _.bpl"},
        {"COM\xE2\x81\xB4", true, "COM\xE2\x81\xB4"}, // superscript 4: no device
        // Room is kept for ".part": 250 bytes at most.
        {std::string(250, 'a'), true, std::string(250, 'a')},
        {std::string(251, 'a'), false, std::string(250, 'a')},
        {LLong, false, std::string(250, 'a')},
        // Cut to 250 bytes, a name must not end in the dot or blank the cut uncovers.
        {std::string(249, 'a') + ".zip", false, std::string(249, 'a') + "_"},
        {std::string(248, 'a') + ". .x", false, std::string(248, 'a') + "._"},
        // The "_" that disarms a device name must not make it too long.
        {"CON." + std::string(246, 'x'), false, "CON_." + std::string(245, 'x')},
        {"AUX." + std::string(245, 'x') + ".", false, "AUX_." + std::string(245, 'x')},
    };
    for (const TNameCase& LCase : LCases) {
        SCOPED_TRACE(LCase.Name);
        EXPECT_EQ(UnsafeFileNameReason(LCase.Name).empty(), LCase.Safe);
        const std::string LSanitised = SafeFileName(LCase.Name);
        EXPECT_EQ(LSanitised, LCase.Sanitised);
        EXPECT_EQ(UnsafeFileNameReason(LSanitised), "") << "a sanitised name must be safe";
        EXPECT_LE(LSanitised.size() + orvane::KPartialSuffix.size(), 255u);
    }
}

TEST(FileNames, IdeVersionsAreDigitsInDotSeparatedGroups) {
    for (const char* LGood : {"22.0", "37.0", "9", "23.0.1"}) {
        EXPECT_TRUE(IsIdeVersionText(LGood)) << LGood;
    }
    for (const char* LBad : {"", ".", "22.", ".22", "22..0", "23.0/../../x", "..\\..\\Windows",
                             "22.0 ", "v22.0", "22,0", "C:22.0", "12345678901234567"}) {
        EXPECT_FALSE(IsIdeVersionText(LBad)) << LBad;
    }
}

TEST(FileNames, FirstFreeNameNeverPointsAtAnExistingFile) {
    TTempDir LDir;
    const std::string LStem = "Orvane-X \xC3\xA9";
    EXPECT_EQ(Utf8FromPath(FirstFreeFileName(LDir.Path(), LStem, ".reg").filename()),
              LStem + ".reg");
    std::ofstream(LDir / PathFromUtf8(LStem + ".reg")) << "first";
    std::ofstream(LDir / PathFromUtf8(LStem + " (2).reg")) << "second";
    std::filesystem::create_directory(LDir / PathFromUtf8(LStem + " (3).reg"));
    const auto LFree = FirstFreeFileName(LDir.Path(), LStem, ".reg");
    EXPECT_EQ(LFree.parent_path(), LDir.Path());
    EXPECT_EQ(Utf8FromPath(LFree.filename()), LStem + " (4).reg");
    EXPECT_FALSE(std::filesystem::exists(LFree));
}

// A folder a person names is never the working folder or a drive's root by
// accident: empty is refused, relative is taken below the working folder, and
// a root is refused.
TEST(FileNames, FoldersNamedByAPersonBecomeAbsoluteAndNeverARoot) {
    const std::string LSep(1, static_cast<char>(std::filesystem::path::preferred_separator));
    const std::string LHere = Utf8FromPath(std::filesystem::current_path() / "");
    const std::string LRoot = Utf8FromPath(std::filesystem::current_path().root_path());
    const struct {
        std::string Text;
        std::string Folder; // "": refused
        std::string ErrorPart;
    } LCases[] = {
        {"", "", "--download-dir is empty: name a folder"},
        {"  ", "", "--download-dir is empty"},
        {LRoot, "", "--download-dir \"" + LRoot + "\" is the root of a drive"},
        {LRoot + "a" + LSep + ".." + LSep, "", "is the root of a drive"},
        {"downloads", LHere + "downloads" + LSep, ""},
        {"." + LSep + "x" + LSep + "y" + LSep, LHere + "x" + LSep + "y" + LSep, ""},
        {LRoot + "a" + LSep + "." + LSep + "b" + LSep + ".." + LSep + "c",
         LRoot + "a" + LSep + "c" + LSep, ""},
    };
    for (const auto& LCase : LCases) {
        SCOPED_TRACE(LCase.Text);
        std::string LFolder = "stale";
        std::string LError;
        const bool LOk = orvane::AbsoluteFolder(LCase.Text, "--download-dir", LFolder, LError);
        EXPECT_EQ(LOk, !LCase.Folder.empty());
        EXPECT_EQ(LFolder, LCase.Folder);
        if (!LOk) {
            EXPECT_NE(LError.find(LCase.ErrorPart), std::string::npos) << LError;
        }
    }
}

} // namespace
