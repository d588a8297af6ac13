#include "cli/InstallLogWriter.h"

#include "platform/Text.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <system_error>

#ifdef _WIN32
#include "platform/Win32Text.h"

#include <windows.h>
#endif

namespace orvane::cli {

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

bool AppendBytes(const std::filesystem::path& AFile, const std::string& ABytes) {
    std::ofstream LOut(AFile, std::ios::binary | std::ios::app);
    return LOut.write(ABytes.data(), static_cast<std::streamsize>(ABytes.size())) && LOut.flush();
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
    std::string LOld;
    {
        std::ifstream LIn(AFile, std::ios::binary);
        LOld.assign(std::istreambuf_iterator<char>(LIn), {});
    }
    if (LOld.rfind(KBom, 0) == 0 || IsAscii(AEntry)) {
        return AppendBytes(AFile, AEntry);
    }
    // Never rewritten in place: a rewrite failing midway would lose the history.
    std::filesystem::path LTemporary = AFile;
    LTemporary += ".new";
    {
        std::ofstream LOut(LTemporary, std::ios::binary | std::ios::trunc);
        LOut << KBom << LegacyToUtf8(LOld) << AEntry;
        if (!LOut.flush()) {
            std::error_code LIgnored;
            std::filesystem::remove(LTemporary, LIgnored);
            return false;
        }
    }
    std::error_code LError;
    std::filesystem::rename(LTemporary, AFile, LError);
    if (LError) {
        std::filesystem::remove(LTemporary, LError);
        return false;
    }
    return true;
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

} // namespace orvane::cli
