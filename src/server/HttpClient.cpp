#include "server/HttpClient.h"

#include <curl/curl.h>

#include <cstring>
#include <exception>
#include <mutex>

namespace orvane {

namespace {

std::atomic<std::uint64_t> GCancelEpoch{0};

std::mutex GSettingsLock;
THttpLimits GLimits;
std::string GTestCaFile;

void InitCurlOnce() {
    static std::once_flag LOnce;
    std::call_once(LOnce, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct TTransfer {
    CURL* Handle = nullptr;
    const std::function<void(const char*, std::size_t)>* Write = nullptr;
    std::function<void(std::int64_t)>* OnBegin = nullptr;
    std::function<void(std::int64_t)>* OnProgress = nullptr;
    const std::atomic<bool>* Cancelled = nullptr;
    std::uint64_t Epoch = 0;
    long Status = 0;
    bool Began = false;
    bool Cancel = false;
    std::int64_t Received = 0;
    std::string Failure; // our own reason for stopping, when there is one
    std::exception_ptr WriteError;
};

// Headers of the final answer are complete: refuse non-2xx (redirects
// included) before any body reaches the sink, and announce the body length.
size_t HeaderCallback(char* ABuffer, size_t ASize, size_t ACount, void* AUser) {
    auto* T = static_cast<TTransfer*>(AUser);
    const size_t LBytes = ASize * ACount;
    if (LBytes == 2 && ABuffer[0] == '\r' && ABuffer[1] == '\n') {
        long LStatus = 0;
        curl_easy_getinfo(T->Handle, CURLINFO_RESPONSE_CODE, &LStatus);
        if (LStatus >= 100 && LStatus < 200) {
            return LBytes;
        }
        T->Status = LStatus;
        if (LStatus < 200 || LStatus > 299) {
            T->Failure = "The requested URL returned error: " + std::to_string(LStatus);
            return 0;
        }
        curl_off_t LLength = -1;
        curl_easy_getinfo(T->Handle, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &LLength);
        T->Began = true;
        if (*T->OnBegin) {
            (*T->OnBegin)(LLength < 0 ? -1 : static_cast<std::int64_t>(LLength));
        }
    }
    return LBytes;
}

size_t WriteCallback(char* ABuffer, size_t ASize, size_t ACount, void* AUser) {
    auto* T = static_cast<TTransfer*>(AUser);
    const size_t LBytes = ASize * ACount;
    try {
        (*T->Write)(ABuffer, LBytes);
    } catch (...) {
        T->WriteError = std::current_exception();
        return 0;
    }
    T->Received += static_cast<std::int64_t>(LBytes);
    if (*T->OnProgress) {
        (*T->OnProgress)(T->Received);
    }
    return LBytes;
}

int ProgressCallback(void* AUser, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    auto* T = static_cast<TTransfer*>(AUser);
    if (T->Cancelled->load() || GCancelEpoch.load() != T->Epoch) {
        T->Cancel = true;
        return 1;
    }
    return 0;
}

} // namespace

THttpClient::THttpClient() {
    InitCurlOnce();
    FHandle = curl_easy_init();
    if (!FHandle) {
        throw THttpError("Failed to create the HTTP client");
    }
}

THttpClient::~THttpClient() {
    curl_easy_cleanup(static_cast<CURL*>(FHandle));
}

void THttpClient::CancelAll() {
    ++GCancelEpoch;
}

std::uint64_t THttpClient::CancelEpoch() {
    return GCancelEpoch.load();
}

void THttpClient::SetLimits(const THttpLimits& ALimits) {
    const std::lock_guard LLock(GSettingsLock);
    GLimits = ALimits;
}

THttpLimits THttpClient::Limits() {
    const std::lock_guard LLock(GSettingsLock);
    return GLimits;
}

void THttpClient::SetTestCaFile(const std::string& APemFile) {
    const std::lock_guard LLock(GSettingsLock);
    GTestCaFile = APemFile;
}

std::string THttpClient::TestCaFile() {
    const std::lock_guard LLock(GSettingsLock);
    return GTestCaFile;
}

void THttpClient::Get(const std::string& AUrl,
                      const std::function<void(const char*, std::size_t)>& AWrite) {
    auto* LCurl = static_cast<CURL*>(FHandle);
    TTransfer T;
    T.Handle = LCurl;
    T.Write = &AWrite;
    T.OnBegin = &OnBegin;
    T.OnProgress = &OnProgress;
    T.Cancelled = &FCancelled;
    T.Epoch = FPinned ? FPinnedEpoch : GCancelEpoch.load();
    FCancelled = false;

    char LErrorBuffer[CURL_ERROR_SIZE] = {};
    curl_easy_setopt(LCurl, CURLOPT_URL, AUrl.c_str());
    curl_easy_setopt(LCurl, CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(LCurl, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(LCurl, CURLOPT_ERRORBUFFER, LErrorBuffer);
    curl_easy_setopt(LCurl, CURLOPT_HEADERFUNCTION, &HeaderCallback);
    curl_easy_setopt(LCurl, CURLOPT_HEADERDATA, &T);
    curl_easy_setopt(LCurl, CURLOPT_WRITEFUNCTION, &WriteCallback);
    curl_easy_setopt(LCurl, CURLOPT_WRITEDATA, &T);
    curl_easy_setopt(LCurl, CURLOPT_XFERINFOFUNCTION, &ProgressCallback);
    curl_easy_setopt(LCurl, CURLOPT_XFERINFODATA, &T);
    curl_easy_setopt(LCurl, CURLOPT_NOPROGRESS, 0L);
    // Fewer, larger blocks: the same receive buffer the curl tool uses.
    curl_easy_setopt(LCurl, CURLOPT_BUFFERSIZE, 100L * 1024);
    // Signals are not thread-safe; pool threads run transfers.
    curl_easy_setopt(LCurl, CURLOPT_NOSIGNAL, 1L);

    const CURLcode LCode =
        T.Epoch == GCancelEpoch.load() ? curl_easy_perform(LCurl) : CURLE_ABORTED_BY_CALLBACK;
    T.Cancel = T.Cancel || LCode == CURLE_ABORTED_BY_CALLBACK;
    curl_easy_setopt(LCurl, CURLOPT_ERRORBUFFER, nullptr);
    if (LCode != CURLE_OK) {
        if (T.WriteError) {
            std::rethrow_exception(T.WriteError);
        }
        if (!T.Failure.empty()) {
            throw THttpError(T.Failure);
        }
        if (T.Cancel) {
            throw THttpError("The download was cancelled");
        }
        throw THttpError(LErrorBuffer[0] ? LErrorBuffer : curl_easy_strerror(LCode));
    }
    if (OnEnd) {
        OnEnd(T.Received);
    }
}

std::string THttpClient::GetText(const std::string& AUrl) {
    std::string LBody;
    Get(AUrl, [&LBody](const char* AData, std::size_t ASize) { LBody.append(AData, ASize); });
    return LBody;
}

} // namespace orvane
