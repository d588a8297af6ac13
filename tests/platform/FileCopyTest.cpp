#include "platform/FileCopy.h"
#include "platform/HeldFile.h"
#include "platform/NewFile.h"

#include "support/FileText.h"
#include <gmock/gmock.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace fs = std::filesystem;
using testing::HasSubstr;

namespace {

class FileCopyTest : public testing::Test {
protected:
    void SetUp() override {
        FRoot =
            fs::temp_directory_path() / ("orvane-copy-" + std::to_string(std::random_device{}()));
        fs::create_directories(FRoot / "dest");
        WriteFileText(FRoot / "source.dll", "library bytes");
        WriteFileText(FRoot / "dest" / "present.dll", "already here");
    }
    void TearDown() override { fs::remove_all(FRoot); }
    std::string At(const std::string& AName) const { return (FRoot / AName).string(); }

    fs::path FRoot;
};

TEST_F(FileCopyTest, FailuresAreTestedInOrder) {
    const struct {
        const char* Source;
        const char* Dest;
        const char* Message;
    } LCases[] = {
        // a missing source wins over every other fault
        {"missing.dll", "nowhere/present.dll", "The specified file was not found"},
        {"missing.dll", "dest/present.dll", "The specified file was not found"},
        // then a missing destination folder, even where a file of that name exists
        {"source.dll", "nowhere/source.dll", "The specified path was not found"},
        {"source.dll", "dest/present.dll/x.dll", "The specified path was not found"},
        {"source.dll", "dest/present.dll", "The specified file already exists"},
        {"source.dll", "dest", "The specified file already exists"},
#ifndef _WIN32
        // the system's own message when the copy itself fails
        {"dest", "dest/copy-of-folder", "Is a directory"},
#endif
    };
    for (const auto& LCase : LCases) {
        EXPECT_THAT([&] { orvane::CopyFileNoOverwrite(At(LCase.Source), At(LCase.Dest)); },
                    testing::ThrowsMessage<std::runtime_error>(HasSubstr(LCase.Message)))
            << LCase.Source << " -> " << LCase.Dest;
    }
    EXPECT_EQ(ReadFileText(FRoot / "dest" / "present.dll"), "already here");
    EXPECT_FALSE(fs::exists(FRoot / "dest" / "copy-of-folder"));
}

TEST_F(FileCopyTest, CopiesContentWithoutTouchingTheSource) {
    std::string LBig(300 * 1024 + 17, '\0');
    for (std::size_t LIndex = 0; LIndex < LBig.size(); ++LIndex) {
        LBig[LIndex] = static_cast<char>(LIndex * 31 % 251);
    }
    WriteFileText(FRoot / "big.bin", LBig);

    orvane::CopyFileNoOverwrite(At("source.dll"), At("dest/source.dll"));
    orvane::CopyFileNoOverwrite(At("big.bin"), At("dest/big.bin"));

    EXPECT_EQ(ReadFileText(FRoot / "dest" / "source.dll"), "library bytes");
    EXPECT_EQ(ReadFileText(FRoot / "dest" / "big.bin"), LBig);
    EXPECT_EQ(ReadFileText(FRoot / "source.dll"), "library bytes");
    EXPECT_THAT(
        [&] { orvane::CopyFileNoOverwrite(At("source.dll"), At("dest/source.dll")); },
        testing::ThrowsMessage<std::runtime_error>(HasSubstr("The specified file already exists")));
}

// A new file is made only where nothing has its name, and a rename never
// replaces what has the new name: neither ever writes into a file of
// somebody else's, on Windows (CREATE_NEW, MoveFileExW) or here.
TEST_F(FileCopyTest, NewFilesAndRenamesNeverReplaceAnything) {
    {
        orvane::TNewFile LFile(At("new.part"));
        LFile << "fresh";
        EXPECT_TRUE(LFile.Close());
    }
    EXPECT_EQ(ReadFileText(FRoot / "new.part"), "fresh");
    for (const char* LTaken : {"new.part", "dest"}) {
        SCOPED_TRACE(LTaken);
        EXPECT_THAT([&] { orvane::TNewFile LAgain(At(LTaken)); },
                    testing::ThrowsMessage<orvane::EFileExists>(
                        HasSubstr("Cannot create file \"" + At(LTaken) + "\"")));
    }
    EXPECT_EQ(ReadFileText(FRoot / "new.part"), "fresh");
    EXPECT_THAT([&] { orvane::TNewFile LNowhere(At("nowhere/x.part")); },
                testing::ThrowsMessage<std::runtime_error>(HasSubstr(At("nowhere/x.part"))));

    EXPECT_THAT([&] { orvane::RenameNoReplace(At("new.part"), At("dest/present.dll")); },
                testing::ThrowsMessage<std::runtime_error>(HasSubstr("Cannot rename")));
    EXPECT_EQ(ReadFileText(FRoot / "dest" / "present.dll"), "already here");
    EXPECT_EQ(ReadFileText(FRoot / "new.part"), "fresh");
    orvane::RenameNoReplace(At("new.part"), At("dest/new.dll"));
    EXPECT_EQ(ReadFileText(FRoot / "dest" / "new.dll"), "fresh");
    EXPECT_FALSE(fs::exists(FRoot / "new.part"));
#ifndef _WIN32
    // A link in the way is not followed: its target keeps its bytes.
    fs::create_symlink(FRoot / "source.dll", FRoot / "link.part");
    EXPECT_THROW(orvane::TNewFile(At("link.part")), orvane::EFileExists);
    EXPECT_EQ(ReadFileText(FRoot / "source.dll"), "library bytes");
#endif
}

TEST_F(FileCopyTest, AFileIsContinuedOnlyAsAPlainFileOfItsOwn) {
    {
        orvane::TNewFile LFile(At("kept.part"));
        LFile << "first half, ";
        ASSERT_TRUE(LFile.Close());
    }
    {
        orvane::TNewFile LMore(At("kept.part"), orvane::TNewFile::nfContinue);
        LMore << "second half";
        ASSERT_TRUE(LMore.Close());
    }
    EXPECT_EQ(ReadFileText(FRoot / "kept.part"), "first half, second half");
    {
        // Cut back through the opened file to what is known to be whole.
        orvane::TNewFile LAgain(At("kept.part"), orvane::TNewFile::nfContinue, 10);
        LAgain << ", again";
        ASSERT_TRUE(LAgain.Close());
    }
    EXPECT_EQ(ReadFileText(FRoot / "kept.part"), "first half, again");
    EXPECT_THROW(orvane::TNewFile(At("kept.part"), orvane::TNewFile::nfContinue, 1000),
                 std::runtime_error);
    EXPECT_EQ(ReadFileText(FRoot / "kept.part"), "first half, again");
    EXPECT_THROW(orvane::TNewFile(At("missing.part"), orvane::TNewFile::nfContinue),
                 std::runtime_error);
    EXPECT_THROW(orvane::TNewFile(At("dest"), orvane::TNewFile::nfContinue), std::runtime_error);
#ifndef _WIN32
    // Neither a link nor a second name of somebody's file is written through.
    fs::create_symlink(FRoot / "source.dll", FRoot / "link.part");
    fs::create_hard_link(FRoot / "source.dll", FRoot / "hard.part");
    for (const char* LName : {"link.part", "hard.part"}) {
        SCOPED_TRACE(LName);
        EXPECT_THROW(orvane::TNewFile(At(LName), orvane::TNewFile::nfContinue), std::runtime_error);
        EXPECT_THROW(orvane::TNewFile(At(LName), orvane::TNewFile::nfContinue, 3),
                     std::runtime_error);
    }
    EXPECT_EQ(ReadFileText(FRoot / "source.dll"), "library bytes");
#endif
}

} // namespace

// A file held for reading is read through its one opening: a new file under
// its name later changes nothing it reads. Only a plain file is held: a pipe
// is refused at once rather than waited on, and a link or a folder too.
TEST(HeldFile, ReadsItsOwnOpeningAndHoldsOnlyPlainFiles) {
    const fs::path LRoot =
        fs::temp_directory_path() / ("orvane-held-" + std::to_string(std::random_device{}()));
    fs::create_directories(LRoot);
    WriteFileText(LRoot / "a.zip", "the checked bytes");
    {
        const orvane::THeldFile LHeld((LRoot / "a.zip").string());
        EXPECT_EQ(LHeld.Size(), 17u);
#ifndef _WIN32
        fs::rename(LRoot / "a.zip", LRoot / "old.zip");
        WriteFileText(LRoot / "a.zip", "other bytes entirely");
#endif
        std::string LText(32, '\0');
        LText.resize(LHeld.ReadAt(4, LText.data(), LText.size()));
        EXPECT_EQ(LText, "checked bytes");
        EXPECT_EQ(LHeld.ReadAt(17, LText.data(), LText.size()), 0u);
    }
    EXPECT_THROW(orvane::THeldFile((LRoot / "missing.zip").string()), std::runtime_error);
    EXPECT_THROW(orvane::THeldFile(LRoot.string()), std::runtime_error);
#ifndef _WIN32
    fs::create_symlink(LRoot / "a.zip", LRoot / "link.zip");
    EXPECT_THROW(orvane::THeldFile((LRoot / "link.zip").string()), std::runtime_error);
    ASSERT_EQ(::mkfifo((LRoot / "pipe.zip").c_str(), 0600), 0);
    EXPECT_THAT([&] { orvane::THeldFile((LRoot / "pipe.zip").string()); },
                testing::ThrowsMessage<std::runtime_error>(HasSubstr("is not a plain file")));
#endif
    fs::remove_all(LRoot);
}
