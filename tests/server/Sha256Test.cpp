#include "server/Sha256.h"

#include "platform/FileNames.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

using namespace orvane;

namespace {

const std::string KEmpty = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
const std::string KAbc = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

} // namespace

TEST(Sha256, StreamedDigestDoesNotDependOnBlockSizes) {
    const std::string KMillionA(1000000, 'a');
    const struct {
        std::string Text;
        std::size_t Block;
        std::string Digest;
    } KCases[] = {
        {"", 1, KEmpty},
        {"abc", 3, KAbc},
        {"abc", 1, KAbc},
        {KMillionA, 65536, "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
        {KMillionA, 7, "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& C : KCases) {
        auto LHasher = NewSha256Hasher();
        for (std::size_t LAt = 0; LAt < C.Text.size(); LAt += C.Block) {
            LHasher->Update(C.Text.data() + LAt, std::min(C.Block, C.Text.size() - LAt));
        }
        EXPECT_EQ(LHasher->HexDigest(), C.Digest) << C.Text.size() << " bytes by " << C.Block;
    }
}

TEST(Sha256, FileDigestAndUnreadableFile) {
    const auto LDir = std::filesystem::temp_directory_path() / "orvane-sha256-test";
    std::filesystem::create_directories(LDir);
    std::ofstream(LDir / "abc.zip", std::ios::binary) << "abc";
    EXPECT_EQ(Sha256OfFile(LDir / "abc.zip"), KAbc);
    try {
        Sha256OfFile(LDir / "missing.zip");
        ADD_FAILURE() << "no error for a missing file";
    } catch (const std::runtime_error& E) {
        EXPECT_NE(std::string(E.what()).find("missing.zip"), std::string::npos) << E.what();
    }
    std::filesystem::remove_all(LDir);
}

// A download folder with non-ASCII characters, named in UTF-8 as the installer
// keeps folders: on Windows the text must not pass through the ANSI code page.
TEST(Sha256, FileNamedInUtf8OutsideAscii) {
    const auto LDir = std::filesystem::temp_directory_path() /
                      PathFromUtf8("orvane-sha256-Jos\xc3\xa9 \xe6\x97\xa5");
    std::filesystem::create_directories(LDir);
    std::ofstream(LDir / "abc.zip", std::ios::binary) << "abc";
    EXPECT_EQ(Sha256OfFile(Utf8FromPath(LDir / "abc.zip")), KAbc);
    std::filesystem::remove_all(LDir);
}

TEST(Sha256, EntryTextMustBe64HexDigits) {
    const struct {
        std::string In;
        std::optional<std::string> Out;
    } KCases[] = {
        {KAbc, KAbc},
        {"BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD", KAbc},
        {"Ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015aD", KAbc},
        {"", std::nullopt},
        {KAbc.substr(1), std::nullopt},
        {KAbc + "0", std::nullopt},
        {" " + KAbc.substr(1), std::nullopt},
        {"g" + KAbc.substr(1), std::nullopt},
        {"sha256:" + KAbc.substr(7), std::nullopt},
        {std::string(64, 'x'), std::nullopt},
    };
    for (const auto& C : KCases) {
        EXPECT_EQ(NormalizedSha256(C.In), C.Out) << C.In;
    }
}
