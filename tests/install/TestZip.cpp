#include "TestZip.h"

#include "platform/FileNames.h"

#include <zip.h>

#ifndef _WIN32
#include <sys/resource.h>
#endif

#include <csignal>

#include <algorithm>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

void WriteTestZip(const fs::path& AFile, const std::vector<TTestZipEntry>& AEntries) {
    int LErrorCode = 0;
    zip_t* LZip =
        zip_open(orvane::Utf8FromPath(AFile).c_str(), ZIP_CREATE | ZIP_TRUNCATE, &LErrorCode);
    if (LZip == nullptr) {
        throw std::runtime_error("cannot create test zip " + AFile.string());
    }
    for (const TTestZipEntry& LEntry : AEntries) {
        zip_int64_t LIndex = -1;
        if (LEntry.UnixMode == 0 && !LEntry.Name.empty() && LEntry.Name.back() == '/') {
            LIndex = zip_dir_add(LZip, LEntry.Name.c_str(), ZIP_FL_ENC_UTF_8);
        } else {
            zip_source_t* LSource =
                zip_source_buffer(LZip, LEntry.Data.data(), LEntry.Data.size(), 0);
            LIndex = zip_file_add(LZip, LEntry.Name.c_str(), LSource,
                                  ZIP_FL_ENC_UTF_8 | ZIP_FL_OVERWRITE);
            if (LIndex < 0) {
                zip_source_free(LSource);
            }
        }
        if (LIndex < 0) {
            const std::string LText = zip_strerror(LZip);
            zip_discard(LZip);
            throw std::runtime_error("cannot add " + LEntry.Name + ": " + LText);
        }
        if (LEntry.UnixMode != 0) {
            zip_file_set_external_attributes(LZip, static_cast<zip_uint64_t>(LIndex), 0,
                                             ZIP_OPSYS_UNIX, LEntry.UnixMode << 16);
        }
    }
    // The buffers are read here, so AEntries must still be alive.
    if (zip_close(LZip) != 0) {
        const std::string LText = zip_strerror(LZip);
        zip_discard(LZip);
        throw std::runtime_error("cannot write test zip: " + LText);
    }
}

namespace {

void PutLe(std::string& AOut, std::uint64_t AValue, int ABytes) {
    for (int LAt = 0; LAt < ABytes; ++LAt) {
        AOut += static_cast<char>((AValue >> (8 * LAt)) & 0xFF);
    }
}

std::uint32_t Crc32(const std::string& AData) {
    std::uint32_t LCrc = 0xFFFFFFFFu;
    for (const unsigned char LByte : AData) {
        LCrc ^= LByte;
        for (int LBit = 0; LBit < 8; ++LBit) {
            LCrc = (LCrc >> 1) ^ (0xEDB88320u & (0u - (LCrc & 1u)));
        }
    }
    return ~LCrc;
}

} // namespace

void WriteManyEntryZip(const fs::path& AFile, std::uint32_t ACount, const std::string& AData) {
    const std::uint32_t LCrc = Crc32(AData);
    std::string LLocal;
    std::string LCentral;
    for (std::uint32_t LAt = 0; LAt < ACount; ++LAt) {
        const std::string LName = "f/" + std::to_string(LAt);
        const std::uint64_t LOffset = LLocal.size();
        PutLe(LLocal, 0x04034b50, 4);
        PutLe(LLocal, 20, 2); // version needed
        PutLe(LLocal, 0, 2);  // flags
        PutLe(LLocal, 0, 2);  // stored
        PutLe(LLocal, 0, 4);  // time and date
        PutLe(LLocal, LCrc, 4);
        PutLe(LLocal, AData.size(), 4);
        PutLe(LLocal, AData.size(), 4);
        PutLe(LLocal, LName.size(), 2);
        PutLe(LLocal, 0, 2);
        LLocal += LName + AData;
        PutLe(LCentral, 0x02014b50, 4);
        PutLe(LCentral, 20, 2); // made by
        PutLe(LCentral, 20, 2); // needed
        PutLe(LCentral, 0, 2);
        PutLe(LCentral, 0, 2);
        PutLe(LCentral, 0, 4);
        PutLe(LCentral, LCrc, 4);
        PutLe(LCentral, AData.size(), 4);
        PutLe(LCentral, AData.size(), 4);
        PutLe(LCentral, LName.size(), 2);
        PutLe(LCentral, 0, 2); // extra
        PutLe(LCentral, 0, 2); // comment
        PutLe(LCentral, 0, 2); // disk
        PutLe(LCentral, 0, 2); // internal attributes
        PutLe(LCentral, 0, 4); // external attributes
        PutLe(LCentral, LOffset, 4);
        LCentral += LName;
    }
    std::string LEnd;
    const std::uint64_t LCentralAt = LLocal.size();
    const std::uint64_t LZip64At = LCentralAt + LCentral.size();
    const bool LZip64 = ACount > 0xFFFF;
    if (LZip64) {
        PutLe(LEnd, 0x06064b50, 4);
        PutLe(LEnd, 44, 8);
        PutLe(LEnd, 45, 2);
        PutLe(LEnd, 45, 2);
        PutLe(LEnd, 0, 4);
        PutLe(LEnd, 0, 4);
        PutLe(LEnd, ACount, 8);
        PutLe(LEnd, ACount, 8);
        PutLe(LEnd, LCentral.size(), 8);
        PutLe(LEnd, LCentralAt, 8);
        PutLe(LEnd, 0x07064b50, 4);
        PutLe(LEnd, 0, 4);
        PutLe(LEnd, LZip64At, 8);
        PutLe(LEnd, 1, 4);
    }
    PutLe(LEnd, 0x06054b50, 4);
    PutLe(LEnd, 0, 2);
    PutLe(LEnd, 0, 2);
    PutLe(LEnd, LZip64 ? 0xFFFF : ACount, 2);
    PutLe(LEnd, LZip64 ? 0xFFFF : ACount, 2);
    PutLe(LEnd, LCentral.size(), 4);
    PutLe(LEnd, LCentralAt, 4);
    PutLe(LEnd, 0, 2);
    std::ofstream LOut(AFile, std::ios::binary | std::ios::trunc);
    LOut << LLocal << LCentral << LEnd;
    if (!LOut.flush()) {
        throw std::runtime_error("Cannot write " + AFile.string());
    }
}

namespace {

// Calls APatch with the offset of AName's local header ("PK\3\4": name length
// at 26, name at 30) and central record ("PK\1\2": name length at 28, name at
// 46), then writes the file back; both must be found.
void PatchHeaders(const fs::path& AFile, const std::string& AName,
                  const std::function<void(std::string&, std::size_t, bool)>& APatch) {
    std::string LBytes;
    {
        std::ifstream LIn(AFile, std::ios::binary);
        LBytes.assign(std::istreambuf_iterator<char>(LIn), {});
    }
    const auto LWord = [&](std::size_t AAt) {
        return static_cast<std::size_t>(static_cast<unsigned char>(LBytes[AAt]) |
                                        static_cast<unsigned char>(LBytes[AAt + 1]) << 8);
    };
    int LPatched = 0;
    for (std::size_t LAt = 0; LAt + 46 <= LBytes.size(); ++LAt) {
        if (LBytes.compare(LAt, 4, "PK\3\4") == 0 && LWord(LAt + 26) == AName.size() &&
            LBytes.compare(LAt + 30, AName.size(), AName) == 0) {
            APatch(LBytes, LAt, true);
            ++LPatched;
        } else if (LBytes.compare(LAt, 4, "PK\1\2") == 0 && LWord(LAt + 28) == AName.size() &&
                   LBytes.compare(LAt + 46, AName.size(), AName) == 0) {
            APatch(LBytes, LAt, false);
            ++LPatched;
        }
    }
    if (LPatched != 2) {
        throw std::runtime_error("cannot find both headers of " + AName);
    }
    std::ofstream(AFile, std::ios::binary | std::ios::trunc) << LBytes;
}

} // namespace

namespace {

// A 32-bit field at ALocalAt in AName's local header and ACentralAt in its
// central record.
void SetHeaderWord(const fs::path& AFile, const std::string& AName, std::size_t ALocalAt,
                   std::size_t ACentralAt, std::uint32_t AValue) {
    PatchHeaders(AFile, AName, [&](std::string& ABytes, std::size_t AAt, bool ALocal) {
        for (int LByte = 0; LByte < 4; ++LByte) {
            ABytes[AAt + (ALocal ? ALocalAt : ACentralAt) + LByte] =
                static_cast<char>((AValue >> (8 * LByte)) & 0xff);
        }
    });
}

} // namespace

void SetDeclaredSize(const fs::path& AFile, const std::string& AName, std::uint32_t ASize) {
    SetHeaderWord(AFile, AName, 22, 24, ASize);
}

void SetCrc(const fs::path& AFile, const std::string& AName, std::uint32_t ACrc) {
    SetHeaderWord(AFile, AName, 14, 16, ACrc);
}

void RenameEntry(const fs::path& AFile, const std::string& AFrom, const std::string& ATo) {
    if (AFrom.size() != ATo.size()) {
        throw std::runtime_error("RenameEntry keeps the name's length");
    }
    PatchHeaders(AFile, AFrom, [&ATo](std::string& ABytes, std::size_t AAt, bool ALocal) {
        ABytes.replace(AAt + (ALocal ? 30 : 46), ATo.size(), ATo);
    });
}

#ifndef _WIN32
TFileSizeLimit::TFileSizeLimit(std::uint64_t ABytes) {
    rlimit LLimit{};
    if (getrlimit(RLIMIT_FSIZE, &LLimit) != 0) {
        throw std::runtime_error("getrlimit failed");
    }
    FOldSoft = LLimit.rlim_cur;
    FOldHandler = std::signal(SIGXFSZ, SIG_IGN);
    LLimit.rlim_cur = static_cast<rlim_t>(ABytes);
    if (setrlimit(RLIMIT_FSIZE, &LLimit) != 0) {
        throw std::runtime_error("setrlimit failed");
    }
}

TFileSizeLimit::~TFileSizeLimit() {
    rlimit LLimit{};
    getrlimit(RLIMIT_FSIZE, &LLimit);
    LLimit.rlim_cur = static_cast<rlim_t>(FOldSoft);
    setrlimit(RLIMIT_FSIZE, &LLimit);
    std::signal(SIGXFSZ, FOldHandler);
}
#endif

std::string DirText(const fs::path& ADir) {
    return (ADir / "").string();
}

std::vector<std::string> ListTree(const fs::path& ARoot) {
    std::vector<std::string> LResult;
    if (!fs::exists(ARoot)) {
        return LResult;
    }
    for (const auto& LItem : fs::recursive_directory_iterator(ARoot)) {
        LResult.push_back(fs::relative(LItem.path(), ARoot).generic_string() +
                          (LItem.is_directory() ? "/" : ""));
    }
    std::sort(LResult.begin(), LResult.end());
    return LResult;
}
