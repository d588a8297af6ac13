#include "platform/InstallLogFile.h"

#include "platform/FileNames.h"
#include "platform/Text.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <system_error>

#ifdef _WIN32
#include "platform/Win32Text.h"

#include <windows.h>

#include <shlobj.h>
#endif

namespace orvane {

namespace {

const std::string KBom = "\xEF\xBB\xBF";

bool IsAscii(const std::string& AText) {
    return std::all_of(AText.begin(), AText.end(),
                       [](char AChar) { return static_cast<unsigned char>(AChar) < 0x80; });
}

std::string LegacyToUtf8(const std::string& ABytes) {
#ifdef _WIN32
    if (ABytes.empty()) {
        return {};
    }
    const int LLength =
        MultiByteToWideChar(CP_ACP, 0, ABytes.data(), static_cast<int>(ABytes.size()), nullptr, 0);
    std::wstring LWide(static_cast<std::size_t>(LLength), L'\0');
    MultiByteToWideChar(CP_ACP, 0, ABytes.data(), static_cast<int>(ABytes.size()), LWide.data(),
                        LLength);
    return Narrow(LWide);
#else
    bool LValid = true;
    DecodeUtf8(ABytes, &LValid);
    if (LValid) {
        return ABytes;
    }
    std::string LText;
    for (const char LByte : ABytes) {
        AppendUtf8(LText, static_cast<unsigned char>(LByte));
    }
    return LText;
#endif
}

// Each character outside ASCII as one "?", for a file that stays single-byte.
std::string AsciiOnly(const std::string& AUtf8) {
    std::string LText;
    for (const char LByte : AUtf8) {
        const auto LCode = static_cast<unsigned char>(LByte);
        if (LCode < 0x80) {
            LText += LByte;
        } else if ((LCode & 0xC0) != 0x80) {
            LText += '?';
        }
    }
    return LText;
}

bool AppendBytes(const std::filesystem::path& AFile, const std::string& ABytes) {
    std::ofstream LOut(AFile, std::ios::binary | std::ios::app);
    return LOut.write(ABytes.data(), static_cast<std::streamsize>(ABytes.size())) && LOut.flush();
}

// The first bytes only: whether the file is UTF-8 already, or missing.
bool StartsWithBom(const std::filesystem::path& AFile) {
    std::ifstream LIn(AFile, std::ios::binary);
    char LHead[3] = {};
    return LIn.read(LHead, 3) && std::string(LHead, 3) == KBom;
}

} // namespace

std::string FormatLogEntry(const std::tm& ATime, int AMilliseconds, const std::string& AMessage) {
    char LStamp[40];
    std::snprintf(LStamp, sizeof LStamp, "%04d-%02d-%02d %02d:%02d:%02d.%03d", ATime.tm_year + 1900,
                  ATime.tm_mon + 1, ATime.tm_mday, ATime.tm_hour, ATime.tm_min, ATime.tm_sec,
                  AMilliseconds);
    return "<" + std::string(LStamp) + "> " + AMessage + "\r\n";
}

bool AppendInstallLogEntry(const std::filesystem::path& AFile, const std::string& AEntry) {
    if (IsAscii(AEntry) || StartsWithBom(AFile)) {
        return AppendBytes(AFile, AEntry);
    }
    if (!CanAppendTo(AFile)) {
        return false;
    }
    // The one time the old content is read: it is converted once, never
    // rewritten in place (a rewrite failing midway would lose the history).
    std::string LOld;
    {
        std::ifstream LIn(AFile, std::ios::binary);
        LOld.assign(std::istreambuf_iterator<char>(LIn), {});
    }
    std::filesystem::path LTemporary = AFile;
    LTemporary += ".new";
    bool LWritten = false;
    {
        std::ofstream LOut(LTemporary, std::ios::binary | std::ios::trunc);
        LWritten = LOut.is_open() && (LOut << KBom << LegacyToUtf8(LOld) << AEntry).flush();
    }
    std::error_code LError;
    if (LWritten) {
        std::filesystem::rename(LTemporary, AFile, LError);
        if (!LError) {
            return true;
        }
    }
    std::filesystem::remove(LTemporary, LError);
    return AppendBytes(AFile, AsciiOnly(AEntry));
}

void LogLine(const std::filesystem::path& AFile, const std::string& AMessage) {
    const auto LNow = std::chrono::system_clock::now();
    const std::time_t LSeconds = std::chrono::system_clock::to_time_t(LNow);
    const int LMilliseconds = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(LNow.time_since_epoch()).count() %
        1000);
    std::tm LTime{};
#ifdef _WIN32
    localtime_s(&LTime, &LSeconds);
#else
    localtime_r(&LSeconds, &LTime);
#endif
    try {
        AppendInstallLogEntry(AFile, FormatLogEntry(LTime, LMilliseconds, AMessage));
    } catch (...) {
    }
}

bool CanAppendTo(const std::filesystem::path& AFile) {
    std::error_code LError;
    if (std::filesystem::is_directory(AFile, LError)) {
        return false;
    }
    return std::ofstream(AFile, std::ios::binary | std::ios::app).is_open();
}

std::filesystem::path UserInstallLogFile() {
#ifdef _WIN32
    PWSTR LFolder = nullptr;
    std::filesystem::path LFile;
    if (SUCCEEDED(
            SHGetKnownFolderPath(FOLDERID_LocalAppData, KF_FLAG_DONT_VERIFY, nullptr, &LFolder))) {
        LFile = std::filesystem::path(LFolder) / L"Orvane" / L"install.log";
    }
    CoTaskMemFree(LFolder);
    return LFile;
#else
    if (const char* LState = std::getenv("XDG_STATE_HOME"); LState && *LState == '/') {
        return PathFromUtf8(LState) / "orvane" / "install.log";
    }
    if (const char* LHome = std::getenv("HOME"); LHome && *LHome == '/') {
        return PathFromUtf8(LHome) / ".local" / "state" / "orvane" / "install.log";
    }
    return {};
#endif
}

} // namespace orvane
