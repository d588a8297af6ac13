#include "platform/FileNames.h"

#include "platform/Text.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <string_view>
#include <system_error>

namespace fs = std::filesystem;

namespace orvane {

namespace {

// Windows refuses these in a name; "/" and "\" separate folders everywhere.
constexpr std::string_view KForbidden = "<>:\"/\\|?*";
// A component longer than 255 bytes is refused by the file systems we write
// to, and every file is first written under its name plus ".part".
constexpr std::size_t KMaxNameBytes = 255 - KPartialSuffix.size();

bool IsForbiddenByte(unsigned char AByte) {
    return AByte < 32 || AByte == 127 ||
           KForbidden.find(static_cast<char>(AByte)) != std::string_view::npos;
}

std::string UpperAscii(std::string AText) {
    for (char& LChar : AText) {
        LChar = static_cast<char>(std::toupper(static_cast<unsigned char>(LChar)));
    }
    return AText;
}

// CON, PRN, AUX, NUL, COM0-9, LPT0-9, COM and LPT with a superscript 0, 1, 2
// or 3 (and the console names) stay devices on Windows whatever extension
// follows and whatever blanks precede the dot.
bool IsReservedDeviceName(const std::string& AName) {
    std::string LBase = AName.substr(0, AName.find('.'));
    while (!LBase.empty() && LBase.back() == ' ') {
        LBase.pop_back();
    }
    LBase = UpperAscii(LBase);
    static const std::array<std::string_view, 6> KPlain = {"CON", "PRN",    "AUX",
                                                           "NUL", "CONIN$", "CONOUT$"};
    for (const std::string_view LReserved : KPlain) {
        if (LBase == LReserved) {
            return true;
        }
    }
    if (LBase.rfind("COM", 0) != 0 && LBase.rfind("LPT", 0) != 0) {
        return false;
    }
    const std::string_view LNumber = std::string_view(LBase).substr(3);
    static const std::array<std::string_view, 4> KSuperscripts = {"\xE2\x81\xB0", "\xC2\xB9",
                                                                  "\xC2\xB2", "\xC2\xB3"};
    return (LNumber.size() == 1 && LNumber[0] >= '0' && LNumber[0] <= '9') ||
           std::find(KSuperscripts.begin(), KSuperscripts.end(), LNumber) != KSuperscripts.end();
}

} // namespace

std::string UnsafeFileNameReason(const std::string& AName) {
    if (AName.empty()) {
        return "the name is empty";
    }
    if (AName == "." || AName == "..") {
        return "it names a folder, not a file";
    }
    if (AName.size() > KMaxNameBytes) {
        return "the name is too long";
    }
    for (const char LChar : AName) {
        const auto LByte = static_cast<unsigned char>(LChar);
        if (LChar == '/' || LChar == '\\') {
            return "it contains a folder separator";
        }
        if (LChar == ':') {
            return "it names a drive or a stream";
        }
        if (IsForbiddenByte(LByte)) {
            return "it contains a character not allowed in file names";
        }
    }
    if (!IsValidUtf8(AName)) {
        return "it is not valid UTF-8";
    }
    if (AName.back() == '.' || AName.back() == ' ') {
        return "it ends with a dot or a blank";
    }
    if (IsReservedDeviceName(AName)) {
        return "it is a reserved device name";
    }
    return {};
}

std::string SafeFileName(const std::string& AName) {
    std::string LName;
    LName.reserve(AName.size());
    // Invalid UTF-8 is replaced first, so the byte scan below sees whole characters.
    for (const char32_t LCode : DecodeUtf8(AName)) {
        if (LCode < 128 && IsForbiddenByte(static_cast<unsigned char>(LCode))) {
            LName.push_back('_');
        } else {
            AppendUtf8(LName, LCode);
        }
    }
    // Shortening can uncover a dot or blank at the end again, so the end is
    // mended after every cut.
    const auto LCutAndMendEnd = [&LName] {
        if (LName.size() > KMaxNameBytes) {
            std::size_t LCut = KMaxNameBytes;
            while (LCut > 0 && (static_cast<unsigned char>(LName[LCut]) & 0xC0) == 0x80) {
                --LCut;
            }
            LName.resize(LCut);
        }
        while (!LName.empty() && (LName.back() == '.' || LName.back() == ' ')) {
            LName.back() = '_';
        }
    };
    LCutAndMendEnd();
    if (LName.empty() || LName == "." || LName == "..") {
        return std::string(LName.size() + 1, '_');
    }
    if (IsReservedDeviceName(LName)) {
        const std::size_t LDot = LName.find('.');
        LName.insert(LDot == std::string::npos ? LName.size() : LDot, "_");
        LCutAndMendEnd();
    }
    return LName;
}

std::string FileNamePart(const std::string& APath) {
    const std::size_t LSlash = APath.find_last_of("/\\");
    return LSlash == std::string::npos ? APath : APath.substr(LSlash + 1);
}

bool IsIdeVersionText(const std::string& AText) {
    if (AText.empty() || AText.size() > 16 || AText.front() == '.' || AText.back() == '.') {
        return false;
    }
    char LPrevious = 0;
    for (const char LChar : AText) {
        if (LChar == '.') {
            if (LPrevious == '.') {
                return false;
            }
        } else if (LChar < '0' || LChar > '9') {
            return false;
        }
        LPrevious = LChar;
    }
    return true;
}

fs::path FirstFreeFileName(const fs::path& ADir, const std::string& AStem,
                           const std::string& AExtension,
                           const std::function<bool(const fs::path&)>& ATaken) {
    for (int LNumber = 1;; ++LNumber) {
        const std::string LName = LNumber == 1
                                      ? AStem + AExtension
                                      : AStem + " (" + std::to_string(LNumber) + ")" + AExtension;
        const fs::path LCandidate = ADir / PathFromUtf8(LName);
        std::error_code LError;
        // symlink_status: a dangling link still occupies the name.
        if (!fs::exists(fs::symlink_status(LCandidate, LError)) &&
            (!ATaken || !ATaken(LCandidate))) {
            return LCandidate;
        }
    }
}

fs::path PathFromUtf8(const std::string& AText) {
    return fs::path(std::u8string(AText.begin(), AText.end()));
}

std::string Utf8FromPath(const fs::path& APath) {
    const std::u8string LText = APath.u8string();
    return std::string(LText.begin(), LText.end());
}

bool AbsoluteFolder(const std::string& AText, const std::string& AWhat, std::string& AFolder,
                    std::string& AError) {
    AFolder.clear();
    if (AText.find_first_not_of(" \t") == std::string::npos) {
        AError = AWhat + " is empty: name a folder";
        return false;
    }
    std::error_code LError;
    fs::path LPath = fs::absolute(PathFromUtf8(AText), LError);
    if (LError) {
        AError =
            AWhat + " \"" + AText + "\" cannot be made an absolute folder: " + LError.message();
        return false;
    }
    LPath = LPath.lexically_normal();
    if (LPath.has_filename()) {
        LPath /= "";
    }
    if (LPath.relative_path().empty()) {
        AError = AWhat + " \"" + Utf8FromPath(LPath) + "\" is the root of a drive: name a folder";
        return false;
    }
    AFolder = Utf8FromPath(LPath);
    return true;
}

} // namespace orvane
