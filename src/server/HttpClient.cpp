#include "server/HttpClient.h"

#include "platform/Text.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <mutex>
#include <utility>
#include <vector>

// What both HTTP clients (HttpClient_posix.cpp, HttpClient_win.cpp) share: the
// process-wide cancellation epoch and settings, and the texts built from them.
namespace orvane {

namespace {

std::atomic<std::uint64_t> GCancelEpoch{0};

std::mutex GSettingsLock;
THttpLimits GLimits;
THttpProxy GProxy;
std::string GTestCaFile;
// Held while a line is in a sink, so a sink is no longer running once its
// scope has ended.
std::mutex GLogLock;
// The live scopes' sinks, the newest last; scopes may end in any order.
std::vector<std::pair<const TScopedHttpLog*, std::function<void(const std::string&)>>> GLogs;

} // namespace

bool ParseContentRange(const std::string& AValue, TAnswerHead& AHead) {
    long long LFirst = -1;
    long long LLast = -1;
    char LComplete[32] = {};
    if (std::sscanf(AValue.c_str(), " bytes %lld-%lld/%31s", &LFirst, &LLast, LComplete) != 3 ||
        LFirst < 0 || LLast < LFirst) {
        return false;
    }
    AHead.RangeFirst = LFirst;
    AHead.CompleteLength = std::string(LComplete) == "*" ? -1 : std::atoll(LComplete);
    return true;
}

std::string DurationText(std::chrono::milliseconds AValue) {
    const auto LMs = AValue.count();
    if (LMs % 1000 != 0) {
        return std::to_string(LMs) + " ms";
    }
    return std::to_string(LMs / 1000) + (LMs == 1000 ? " second" : " seconds");
}

// A signal handler may call it: one lock-free increment.
void THttpClient::CancelAll() {
#ifndef _WIN32
    static_assert(std::atomic<std::uint64_t>::is_always_lock_free);
#endif
    ++GCancelEpoch;
}

std::uint64_t THttpClient::CancelEpoch() {
    return GCancelEpoch.load();
}

void THttpClient::SetProxy(const THttpProxy& AProxy) {
    const std::lock_guard LLock(GSettingsLock);
    GProxy = AProxy;
}

THttpProxy THttpClient::Proxy() {
    const std::lock_guard LLock(GSettingsLock);
    return GProxy;
}

void THttpClient::SetLimits(const THttpLimits& ALimits) {
    const std::lock_guard LLock(GSettingsLock);
    GLimits = ALimits;
}

THttpLimits THttpClient::Limits() {
    const std::lock_guard LLock(GSettingsLock);
    return GLimits;
}

void THttpClient::Log(const std::string& ALine) {
    const std::lock_guard LLock(GLogLock);
    if (!GLogs.empty() && GLogs.back().second) {
        GLogs.back().second(ALine);
    }
}

TScopedHttpLog::TScopedHttpLog(std::function<void(const std::string&)> ALog) {
    const std::lock_guard LLock(GLogLock);
    GLogs.emplace_back(this, std::move(ALog));
}

TScopedHttpLog::~TScopedHttpLog() {
    const std::lock_guard LLock(GLogLock);
    GLogs.erase(std::find_if(GLogs.begin(), GLogs.end(),
                             [this](const auto& AEntry) { return AEntry.first == this; }));
}

void THttpClient::SetTestCaFile(const std::string& APemFile) {
    const std::lock_guard LLock(GSettingsLock);
    GTestCaFile = APemFile;
}

std::string THttpClient::TestCaFile() {
    const std::lock_guard LLock(GSettingsLock);
    return GTestCaFile;
}

std::string AnswerTooLargeText(std::uint64_t ALimit, const std::string& AReason) {
    return "The server's answer is larger than " + FormatByteSize(ALimit) + " (" + AReason +
           "): the transfer was stopped";
}

std::int64_t AnnouncedLength(const std::string& AValue) {
    const auto LBegin = AValue.find_first_not_of(" \t");
    const auto LEnd = AValue.find_last_not_of(" \t\r\n");
    const std::string LText =
        LBegin == std::string::npos ? std::string() : AValue.substr(LBegin, LEnd - LBegin + 1);
    constexpr std::size_t KShown = 64;
    const auto LInvalid = [&LText] {
        return THttpError("Invalid Content-Length: " +
                          (LText.size() > KShown ? LText.substr(0, KShown) + "..." : LText));
    };
    if (LText.empty()) {
        throw LInvalid();
    }
    std::int64_t Result = 0;
    for (const char LChar : LText) {
        if (LChar < '0' || LChar > '9') {
            throw LInvalid();
        }
        const int LDigit = LChar - '0';
        if (Result > (std::numeric_limits<std::int64_t>::max() - LDigit) / 10) {
            throw LInvalid();
        }
        Result = Result * 10 + LDigit;
    }
    return Result;
}

std::string ProxySignInText(const std::string& AProxy, const std::string& AReason) {
    return "The proxy " + AProxy +
           " wants a sign-in (407 Proxy Authentication Required): " + AReason;
}

std::string THttpClient::GetText(const std::string& AUrl, std::size_t AMaxBytes,
                                 const std::string& AReason) {
    std::string LBody;
    Get(AUrl, [&](const char* AData, std::size_t ASize) {
        if (ASize > AMaxBytes - LBody.size()) {
            throw THttpError(AnswerTooLargeText(AMaxBytes, AReason));
        }
        LBody.append(AData, ASize);
    });
    return LBody;
}

} // namespace orvane
