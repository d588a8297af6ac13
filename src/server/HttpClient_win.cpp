#include "server/HttpClient.h"

#include "platform/SessionAccount.h"
#include "platform/Win32Text.h"

#include <windows.h>

#include <wincrypt.h>
#include <winhttp.h>

#include <algorithm>
#include <chrono>
#include <cwchar>
#include <cwctype>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

namespace orvane {

namespace {

using TClock = std::chrono::steady_clock;

// How often a waiting transfer looks at cancellation and its clocks.
constexpr DWORD KPollMs = 50;
// Largest block handed to the sink at once, as the libcurl client does.
constexpr DWORD KBlockSize = 100 * 1024;

// What WinHTTP's callback thread hands over to the waiting transfer. It lives
// on the heap until WinHTTP says the request handle is closing: after a
// cancellation WinHTTP may still be busy with it while Get() has returned.
struct TCallbackState {
    HANDLE Event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    DWORD Completed = 0; // the WINHTTP_CALLBACK_STATUS_* that finished the last operation
    DWORD Error = 0;
    DWORD Bytes = 0;
    DWORD SecureFailure = 0;
    // The request went out (after the TLS handshake): the connect time-out
    // ends here and the stall clock starts. Wine completes the send step only
    // with the answer's status line, so that step cannot tell.
    std::atomic<bool> Sent{false};
    // When bytes last came off the connection (TClock ticks), however
    // WinHTTP then hands them over: the stall clock counts every byte.
    std::atomic<TClock::rep> LastArrival{0};
    // A receive found the connection closed by the peer: the end of a body
    // only when nothing else marks its end.
    std::atomic<bool> PeerClosed{false};
    std::vector<char> Buffer = std::vector<char>(KBlockSize);

    ~TCallbackState() {
        if (Event) {
            CloseHandle(Event);
        }
    }
};

void CALLBACK StatusCallback(HINTERNET, DWORD_PTR AContext, DWORD AStatus, LPVOID AInfo,
                             DWORD ALength) {
    auto* LState = reinterpret_cast<TCallbackState*>(AContext);
    if (!LState) {
        return;
    }
    switch (AStatus) {
    case WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING:
        delete LState;
        return;
    case WINHTTP_CALLBACK_STATUS_REQUEST_SENT:
        LState->Sent = true;
        return;
    case WINHTTP_CALLBACK_STATUS_RESPONSE_RECEIVED:
        if (!AInfo) {
            return;
        }
        if (*static_cast<DWORD*>(AInfo) > 0) {
            LState->LastArrival = TClock::now().time_since_epoch().count();
        } else {
            LState->PeerClosed = true;
        }
        return;
    case WINHTTP_CALLBACK_STATUS_SECURE_FAILURE:
        // Comes before the request error that ends the operation.
        LState->SecureFailure = AInfo ? *static_cast<DWORD*>(AInfo) : 0;
        return;
    case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR:
        LState->Error = static_cast<WINHTTP_ASYNC_RESULT*>(AInfo)->dwError;
        break;
    case WINHTTP_CALLBACK_STATUS_DATA_AVAILABLE:
        LState->Bytes = *static_cast<DWORD*>(AInfo);
        break;
    case WINHTTP_CALLBACK_STATUS_READ_COMPLETE:
        LState->Bytes = ALength;
        break;
    case WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE:
    case WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE:
        break;
    default:
        return;
    }
    LState->Completed = AStatus;
    SetEvent(LState->Event);
}

struct THandle {
    HINTERNET Value = nullptr;
    THandle() = default;
    explicit THandle(HINTERNET AValue) : Value(AValue) {}
    THandle(const THandle&) = delete;
    THandle& operator=(const THandle&) = delete;
    ~THandle() { Close(); }
    void Close() {
        if (Value) {
            WinHttpCloseHandle(Value);
            Value = nullptr;
        }
    }
};

// The same words for the same failures on every machine: Wine's winhttp.dll
// carries no message texts, and Windows' texts depend on the user's language.
std::string WinHttpErrorText(DWORD ACode) {
    switch (ACode) {
    case ERROR_WINHTTP_CANNOT_CONNECT:
        return "Couldn't connect to server";
    case ERROR_WINHTTP_NAME_NOT_RESOLVED:
        return "Could not resolve host";
    case ERROR_WINHTTP_CONNECTION_ERROR:
        return "The connection was reset or closed by the peer";
    case ERROR_WINHTTP_INVALID_SERVER_RESPONSE:
        return "The server's answer is not valid HTTP";
    case ERROR_WINHTTP_UNRECOGNIZED_SCHEME:
        return "Unsupported protocol";
    case ERROR_WINHTTP_INVALID_URL:
        return "URL rejected: Malformed input to a URL function";
    case ERROR_WINHTTP_SECURE_FAILURE:
        return "TLS handshake failed";
    case ERROR_WINHTTP_SECURE_CHANNEL_ERROR:
        // Wine reports a refused certificate this way too.
        return "TLS handshake failed: the server's certificate was refused, or no TLS version "
               "and cipher both sides accept (TLS 1.2 or later is required)";
    case ERROR_WINHTTP_CLIENT_AUTH_CERT_NEEDED:
        return "TLS handshake failed: the server asks for a client certificate";
    case ERROR_WINHTTP_SECURE_INVALID_CA:
        return "SSL certificate problem: certificate issued by an authority that is not trusted";
    case ERROR_WINHTTP_SECURE_CERT_CN_INVALID:
        return "SSL certificate problem: certificate subject name does not match the host";
    case ERROR_WINHTTP_SECURE_CERT_DATE_INVALID:
        return "SSL certificate problem: certificate has expired or is not yet valid";
    case ERROR_WINHTTP_SECURE_CERT_REVOKED:
        return "SSL certificate problem: certificate has been revoked";
    case ERROR_WINHTTP_SECURE_CERT_REV_FAILED:
        return "SSL certificate problem: the certificate's revocation could not be checked "
               "(the certificate authority's revocation list could not be reached)";
    case ERROR_WINHTTP_SECURE_INVALID_CERT:
    case ERROR_WINHTTP_SECURE_CERT_WRONG_USAGE:
        return "SSL certificate problem: invalid certificate";
    case ERROR_WINHTTP_TIMEOUT:
        return "Operation timed out";
    case ERROR_WINHTTP_LOGIN_FAILURE:
        return "Authentication failed";
    default:
        return "WinHTTP error " + std::to_string(ACode);
    }
}

// Certificate problems in the words of the flags WinHTTP reports.
std::string CertificateText(DWORD AFlags) {
    std::string Result;
    const auto LAdd = [&Result](const char* AText) {
        Result += Result.empty() ? "" : "; ";
        Result += AText;
    };
    if (AFlags & WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CA) {
        LAdd("certificate issued by an authority that is not trusted");
    }
    if (AFlags & WINHTTP_CALLBACK_STATUS_FLAG_CERT_CN_INVALID) {
        LAdd("certificate subject name does not match the host");
    }
    if (AFlags & WINHTTP_CALLBACK_STATUS_FLAG_CERT_DATE_INVALID) {
        LAdd("certificate has expired or is not yet valid");
    }
    if (AFlags & WINHTTP_CALLBACK_STATUS_FLAG_CERT_REVOKED) {
        LAdd("certificate has been revoked");
    }
    if (AFlags & WINHTTP_CALLBACK_STATUS_FLAG_CERT_REV_FAILED) {
        LAdd("the certificate's revocation could not be checked (the certificate authority's "
             "revocation list could not be reached)");
    }
    if (AFlags & (WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CERT |
                  WINHTTP_CALLBACK_STATUS_FLAG_CERT_WRONG_USAGE)) {
        LAdd("invalid certificate");
    }
    if (Result.empty()) {
        LAdd("TLS handshake failed");
    }
    return "SSL certificate problem: " + Result;
}

// A PEM certificate file as a certificate context; null when it cannot be read.
PCCERT_CONTEXT LoadPemCertificate(const std::string& AFile) {
    std::ifstream LIn(std::filesystem::path(Widen(AFile)), std::ios::binary);
    const std::string LPem((std::istreambuf_iterator<char>(LIn)), std::istreambuf_iterator<char>());
    DWORD LSize = 0;
    if (LPem.empty() ||
        !CryptStringToBinaryA(LPem.c_str(), static_cast<DWORD>(LPem.size()),
                              CRYPT_STRING_BASE64HEADER, nullptr, &LSize, nullptr, nullptr)) {
        return nullptr;
    }
    std::vector<BYTE> LDer(LSize);
    if (!CryptStringToBinaryA(LPem.c_str(), static_cast<DWORD>(LPem.size()),
                              CRYPT_STRING_BASE64HEADER, LDer.data(), &LSize, nullptr, nullptr)) {
        return nullptr;
    }
    return CertCreateCertificateContext(X509_ASN_ENCODING, LDer.data(), LSize);
}

// Whether AServer's chain ends in ACa, with no fault but that ACa is no root
// the system trusts. Name and dates are WinHTTP's own checks still.
bool ChainsTo(PCCERT_CONTEXT AServer, PCCERT_CONTEXT ACa) {
    HCERTSTORE LExtra = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
    if (!LExtra) {
        return false;
    }
    bool Result = false;
    CERT_CHAIN_PARA LPara{};
    LPara.cbSize = sizeof LPara;
    PCCERT_CHAIN_CONTEXT LChain = nullptr;
    if (CertAddCertificateContextToStore(LExtra, ACa, CERT_STORE_ADD_ALWAYS, nullptr) &&
        CertGetCertificateChain(nullptr, AServer, nullptr, LExtra, &LPara, 0, nullptr, &LChain) &&
        LChain->cChain > 0 && LChain->rgpChain[0]->cElement > 0) {
        const CERT_SIMPLE_CHAIN* LSimple = LChain->rgpChain[0];
        const PCCERT_CONTEXT LTop = LSimple->rgpElement[LSimple->cElement - 1]->pCertContext;
        const DWORD LFaults = LChain->TrustStatus.dwErrorStatus &
                              ~static_cast<DWORD>(CERT_TRUST_IS_UNTRUSTED_ROOT |
                                                  CERT_TRUST_REVOCATION_STATUS_UNKNOWN |
                                                  CERT_TRUST_IS_OFFLINE_REVOCATION);
        Result = LFaults == 0 &&
                 CertCompareCertificate(X509_ASN_ENCODING, LTop->pCertInfo, ACa->pCertInfo);
    }
    if (LChain) {
        CertFreeCertificateChain(LChain);
    }
    CertCloseStore(LExtra, 0);
    return Result;
}

struct TUrl {
    std::wstring Host;
    INTERNET_PORT Port = 0;
    std::wstring PathAndQuery;
    bool Secure = false;
};

TUrl CrackUrl(const std::string& AUrl) {
    const std::wstring LWide = Widen(AUrl);
    URL_COMPONENTS LParts{};
    LParts.dwStructSize = sizeof LParts;
    LParts.dwHostNameLength = static_cast<DWORD>(-1);
    LParts.dwUrlPathLength = static_cast<DWORD>(-1);
    LParts.dwExtraInfoLength = static_cast<DWORD>(-1);
    LParts.dwSchemeLength = static_cast<DWORD>(-1);
    if (!WinHttpCrackUrl(LWide.c_str(), static_cast<DWORD>(LWide.size()), 0, &LParts)) {
        const DWORD LError = GetLastError();
        throw THttpError(LError == ERROR_WINHTTP_UNRECOGNIZED_SCHEME
                             ? "Unsupported protocol"
                             : "URL rejected: Malformed input to a URL function");
    }
    if (LParts.nScheme != INTERNET_SCHEME_HTTP && LParts.nScheme != INTERNET_SCHEME_HTTPS) {
        throw THttpError("Unsupported protocol");
    }
    TUrl Result;
    Result.Host.assign(LParts.lpszHostName, LParts.dwHostNameLength);
    Result.Port = LParts.nPort;
    Result.Secure = LParts.nScheme == INTERNET_SCHEME_HTTPS;
    Result.PathAndQuery.assign(LParts.lpszUrlPath, LParts.dwUrlPathLength);
    Result.PathAndQuery.append(LParts.lpszExtraInfo, LParts.dwExtraInfoLength);
    if (Result.PathAndQuery.empty()) {
        Result.PathAndQuery = L"/";
    }
    return Result;
}

// A synchronous session of its own for proxy look-ups (auto-detection and PAC
// scripts block; WinHttpGetProxyForUrl wants a synchronous session). Its own
// clocks end a look-up that nobody waits for any more.
HINTERNET ProxySession() {
    static const HINTERNET LSession = [] {
        const HINTERNET Result = WinHttpOpen(nullptr, WINHTTP_ACCESS_TYPE_NO_PROXY,
                                             WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
        if (Result) {
            WinHttpSetTimeouts(Result, 30000, 30000, 30000, 30000);
        }
        return Result;
    }();
    return LSession;
}

std::wstring Trimmed(const std::wstring& AText) {
    const auto LBegin = AText.find_first_not_of(L" \t");
    if (LBegin == std::wstring::npos) {
        return {};
    }
    return AText.substr(LBegin, AText.find_last_not_of(L" \t") - LBegin + 1);
}

std::vector<std::wstring> SplitList(const std::wstring& AList) {
    std::vector<std::wstring> Result;
    std::wstring LItem;
    for (const wchar_t LChar : AList + L";") {
        if (LChar == L';' || LChar == L' ' || LChar == L'\t' || LChar == L'\r' || LChar == L'\n') {
            if (!LItem.empty()) {
                Result.push_back(LItem);
            }
            LItem.clear();
        } else {
            LItem += LChar;
        }
    }
    return Result;
}

// The proxy a ProxyServer value names for AScheme: "a:1" for every scheme, or
// "http=a:1;https=b:2" per scheme. Empty: none for that scheme.
std::wstring ProxyForScheme(const std::wstring& AList, const std::wstring& AScheme) {
    std::wstring LCommon;
    for (const auto& LEntry : SplitList(AList)) {
        const auto LEqual = LEntry.find(L'=');
        if (LEqual == std::wstring::npos) {
            if (LCommon.empty()) {
                LCommon = LEntry;
            }
        } else if (_wcsicmp(LEntry.substr(0, LEqual).c_str(), AScheme.c_str()) == 0) {
            return LEntry.substr(LEqual + 1);
        }
    }
    return LCommon;
}

std::wstring Lowered(std::wstring AText) {
    std::transform(AText.begin(), AText.end(), AText.begin(), towlower);
    return AText;
}

// Whether AText matches APattern, where "*" stands for any run of characters,
// in any letter case. The parts between stars are looked for left to right,
// each once at its earliest place, without backtracking: an exception list
// with many stars costs no more than one with few.
bool MatchesPattern(const std::wstring& AText, const std::wstring& APattern) {
    const std::wstring LText = Lowered(AText);
    const std::wstring LPattern = Lowered(APattern);
    const auto LFirstStar = LPattern.find(L'*');
    if (LFirstStar == std::wstring::npos) {
        return LText == LPattern;
    }
    const auto LLastStar = LPattern.rfind(L'*');
    const std::wstring LHead = LPattern.substr(0, LFirstStar);
    const std::wstring LTail = LPattern.substr(LLastStar + 1);
    if (LText.size() < LHead.size() + LTail.size() || LText.compare(0, LHead.size(), LHead) != 0 ||
        LText.compare(LText.size() - LTail.size(), LTail.size(), LTail) != 0) {
        return false;
    }
    // The middle parts must fit, in order, between head and tail.
    std::size_t LAt = LHead.size();
    const std::size_t LEnd = LText.size() - LTail.size();
    std::size_t LPart = LFirstStar + 1;
    while (LPart <= LLastStar) {
        const std::size_t LNextStar = LPattern.find(L'*', LPart);
        const std::wstring LMiddle = LPattern.substr(LPart, LNextStar - LPart);
        if (!LMiddle.empty()) {
            const auto LFound = LText.find(LMiddle, LAt);
            if (LFound == std::wstring::npos || LFound + LMiddle.size() > LEnd) {
                return false;
            }
            LAt = LFound + LMiddle.size();
        }
        LPart = LNextStar + 1;
    }
    return true;
}

// Whether a ProxyOverride list sends AHost (AHostPort with its port) past the
// proxy: "<local>" for names without a dot, names and patterns with "*".
bool Bypassed(const std::wstring& ABypass, const std::wstring& AHost,
              const std::wstring& AHostPort) {
    for (const auto& LEntry : SplitList(ABypass)) {
        if (_wcsicmp(LEntry.c_str(), L"<local>") == 0) {
            if (AHost.find(L'.') == std::wstring::npos && AHost.find(L':') == std::wstring::npos) {
                return true;
            }
        } else if (MatchesPattern(AHost, LEntry) || MatchesPattern(AHostPort, LEntry)) {
            return true;
        }
    }
    return false;
}

// What a look-up of auto-detection or a PAC script answered.
struct TProxyAnswer {
    bool Finished = false; // false: it did not answer in time
    DWORD Error = 0;
    std::wstring Proxy; // empty: direct
};

TProxyAnswer LookUpProxy(const std::wstring& AUrl, bool AAutoDetect,
                         const std::wstring& AConfigUrl) {
    WINHTTP_AUTOPROXY_OPTIONS LOptions{};
    if (AAutoDetect) {
        LOptions.dwFlags |= WINHTTP_AUTOPROXY_AUTO_DETECT;
        LOptions.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
    }
    if (!AConfigUrl.empty()) {
        LOptions.dwFlags |= WINHTTP_AUTOPROXY_CONFIG_URL;
        LOptions.lpszAutoConfigUrl = AConfigUrl.c_str();
    }
    // The user's Windows sign-in goes to a PAC host only when it asks.
    WINHTTP_PROXY_INFO LInfo{};
    BOOL LOk =
        ProxySession() && WinHttpGetProxyForUrl(ProxySession(), AUrl.c_str(), &LOptions, &LInfo);
    DWORD LError = LOk ? 0 : GetLastError();
    if (!LOk && LError == ERROR_WINHTTP_LOGIN_FAILURE) {
        LOptions.fAutoLogonIfChallenged = TRUE;
        LOk = WinHttpGetProxyForUrl(ProxySession(), AUrl.c_str(), &LOptions, &LInfo);
        LError = LOk ? 0 : GetLastError();
    }
    TProxyAnswer Result;
    Result.Finished = true;
    if (LOk && LInfo.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY && LInfo.lpszProxy) {
        const auto LList = SplitList(LInfo.lpszProxy);
        Result.Proxy = LList.empty() ? L"" : LList.front();
    }
    GlobalFree(LInfo.lpszProxy);
    GlobalFree(LInfo.lpszProxyBypass);
    Result.Error = LOk ? 0 : (LError ? LError : ERROR_WINHTTP_AUTODETECTION_FAILED);
    return Result;
}

// A look-up runs in a copy of this program started for it alone, told what to
// look up by these variables and answering on its standard output: a script
// that never returns (or a detection that blocks for minutes) is ended with
// its process, where in this one it would keep a core busy and hold the
// script engine for the rest of the run.
constexpr const wchar_t* KLookupUrl = L"ORVANE_PROXY_LOOKUP_URL";
constexpr const wchar_t* KLookupAuto = L"ORVANE_PROXY_LOOKUP_AUTO";
constexpr const wchar_t* KLookupScript = L"ORVANE_PROXY_LOOKUP_SCRIPT";

std::wstring EnvironmentValue(const wchar_t* AName) {
    std::wstring Result(32768, L'\0');
    const DWORD LLength =
        GetEnvironmentVariableW(AName, Result.data(), static_cast<DWORD>(Result.size()));
    Result.resize(LLength < Result.size() ? LLength : 0);
    return Result;
}

// In the copy started for a look-up: answers "<error>\n<proxy>" and ends the
// process before the program's own start. Elsewhere: nothing.
bool AnswerProxyLookupIfAsked() {
    const HANDLE LOut = GetStdHandle(STD_OUTPUT_HANDLE);
    const std::wstring LUrl = EnvironmentValue(KLookupUrl);
    if (LUrl.empty() || LOut == INVALID_HANDLE_VALUE || !LOut ||
        GetFileType(LOut) != FILE_TYPE_PIPE) {
        return false;
    }
    const TProxyAnswer LAnswer =
        LookUpProxy(LUrl, EnvironmentValue(KLookupAuto) == L"1", EnvironmentValue(KLookupScript));
    const std::string LText = std::to_string(LAnswer.Error) + "\n" + Narrow(LAnswer.Proxy);
    DWORD LWritten = 0;
    WriteFile(LOut, LText.data(), static_cast<DWORD>(LText.size()), &LWritten, nullptr);
    ExitProcess(0);
}

[[maybe_unused]] const bool GAnsweredProxyLookup = AnswerProxyLookupIfAsked();

// This process's environment with the look-up's variables added, as
// CreateProcessW takes it.
std::vector<wchar_t> LookupEnvironment(const std::wstring& AUrl, bool AAutoDetect,
                                       const std::wstring& AConfigUrl) {
    std::vector<wchar_t> Result;
    if (wchar_t* LCurrent = GetEnvironmentStringsW()) {
        for (const wchar_t* LEntry = LCurrent; *LEntry; LEntry += wcslen(LEntry) + 1) {
            const std::wstring LText = LEntry;
            if (LText.rfind(L"ORVANE_PROXY_LOOKUP_", 0) != 0) {
                Result.insert(Result.end(), LText.begin(), LText.end() + 1);
            }
        }
        FreeEnvironmentStringsW(LCurrent);
    }
    for (const auto& [LName, LValue] : {std::pair<std::wstring, std::wstring>{KLookupUrl, AUrl},
                                        {KLookupAuto, AAutoDetect ? L"1" : L"0"},
                                        {KLookupScript, AConfigUrl}}) {
        const std::wstring LEntry = LName + L"=" + LValue;
        Result.insert(Result.end(), LEntry.begin(), LEntry.end() + 1);
    }
    Result.push_back(L'\0');
    return Result;
}

std::wstring ThisProgram() {
    std::wstring Result(32768, L'\0');
    const DWORD LLength =
        GetModuleFileNameW(nullptr, Result.data(), static_cast<DWORD>(Result.size()));
    Result.resize(LLength < Result.size() ? LLength : 0);
    return Result;
}

using TWin32Handle = TOwnedHandle<HANDLE, &CloseHandle>;

// Starts the copy for a look-up, suspended, with AOutput as its standard output
// and the only handle it inherits (whatever else this process lets inherit),
// in AJob; then lets it run.
bool StartLookupCopy(HANDLE AOutput, std::vector<wchar_t>& AEnvironment, HANDLE AJob,
                     PROCESS_INFORMATION& AProcess) {
    SIZE_T LListSize = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &LListSize);
    std::vector<char> LListBuffer(LListSize);
    auto* LList = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(LListBuffer.data());
    if (!InitializeProcThreadAttributeList(LList, 1, 0, &LListSize)) {
        return false;
    }
    HANDLE LInherited[] = {AOutput};
    STARTUPINFOEXW LStartup{};
    LStartup.StartupInfo.cb = sizeof LStartup;
    LStartup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    LStartup.StartupInfo.hStdOutput = AOutput;
    LStartup.lpAttributeList = LList;
    const std::wstring LProgram = ThisProgram();
    std::wstring LCommandLine = L"\"" + LProgram + L"\"";
    const bool Result =
        UpdateProcThreadAttribute(LList, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, LInherited,
                                  sizeof LInherited, nullptr, nullptr) &&
        !LProgram.empty() &&
        CreateProcessW(LProgram.c_str(), LCommandLine.data(), nullptr, nullptr, TRUE,
                       CREATE_SUSPENDED | CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT |
                           EXTENDED_STARTUPINFO_PRESENT,
                       AEnvironment.data(), nullptr, &LStartup.StartupInfo, &AProcess);
    DeleteProcThreadAttributeList(LList);
    if (Result) {
        if (AJob) {
            AssignProcessToJobObject(AJob, AProcess.hProcess);
        }
        ResumeThread(AProcess.hThread);
    }
    return Result;
}

// Runs a look-up in a copy of this program and waits for it until ADeadline,
// asking ACancelled meanwhile; a look-up that has not answered by then is
// ended. The copy dies with this process too (a job that kills on close).
TProxyAnswer LookUpProxyAside(const std::wstring& AUrl, bool AAutoDetect,
                              const std::wstring& AConfigUrl, TClock::time_point ADeadline,
                              const std::function<bool()>& ACancelled) {
    TProxyAnswer LFailed;
    LFailed.Finished = true;
    LFailed.Error = ERROR_WINHTTP_AUTODETECTION_FAILED;
    TWin32Handle LJob;
    *LJob.Out() = CreateJobObjectW(nullptr, nullptr);
    if (LJob.Get()) {
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION LLimits{};
        LLimits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        SetInformationJobObject(LJob.Get(), JobObjectExtendedLimitInformation, &LLimits,
                                sizeof LLimits);
    }
    TWin32Handle LRead;
    TWin32Handle LProcessHandle;
    TWin32Handle LThreadHandle;
    {
        TWin32Handle LWrite;
        SECURITY_ATTRIBUTES LInherit{sizeof LInherit, nullptr, TRUE};
        if (!CreatePipe(LRead.Out(), LWrite.Out(), &LInherit, 0)) {
            return LFailed;
        }
        SetHandleInformation(LRead.Get(), HANDLE_FLAG_INHERIT, 0);
        std::vector<wchar_t> LEnvironment = LookupEnvironment(AUrl, AAutoDetect, AConfigUrl);
        PROCESS_INFORMATION LProcess{};
        if (!StartLookupCopy(LWrite.Get(), LEnvironment, LJob.Get(), LProcess)) {
            LFailed.Error = GetLastError();
            return LFailed;
        }
        *LProcessHandle.Out() = LProcess.hProcess;
        *LThreadHandle.Out() = LProcess.hThread;
        // Only the copy holds the writing end from here on: reading ends when
        // the copy does.
    }
    const HANDLE LProcess = LProcessHandle.Get();
    const auto LEnd = [LProcess] {
        TerminateProcess(LProcess, 1);
        WaitForSingleObject(LProcess, INFINITE);
    };
    while (WaitForSingleObject(LProcess, KPollMs) == WAIT_TIMEOUT) {
        if (ACancelled()) {
            LEnd();
            throw THttpError("The download was cancelled");
        }
        if (TClock::now() >= ADeadline) {
            LEnd();
            return TProxyAnswer{};
        }
    }
    std::string LOutput;
    char LBuffer[4096];
    DWORD LGot = 0;
    while (LOutput.size() < 65536 &&
           ReadFile(LRead.Get(), LBuffer, sizeof LBuffer, &LGot, nullptr) && LGot > 0) {
        LOutput.append(LBuffer, LGot);
    }
    const auto LNewline = LOutput.find('\n');
    if (LNewline == std::string::npos || LNewline == 0 || LNewline > 10 ||
        LOutput.find_first_not_of("0123456789") != LNewline) {
        return LFailed;
    }
    TProxyAnswer Result;
    Result.Finished = true;
    Result.Error = static_cast<DWORD>(std::stoul(LOutput.substr(0, LNewline)));
    Result.Proxy = Widen(LOutput.substr(LNewline + 1));
    return Result;
}

std::wstring Owned(LPWSTR AText) {
    std::wstring Result = AText ? AText : L"";
    GlobalFree(AText);
    return Result;
}

// Whether the installer runs as another account than the one signed in to the
// desktop (an elevation prompt answered with an administrator's name), asked
// once: that account's proxy settings are not the user's.
const TSessionAccounts& SessionAccountsOnce() {
    static const TSessionAccounts LAccounts = QuerySessionAccounts();
    return LAccounts;
}

// The machine-wide WinHTTP proxy (netsh winhttp set proxy): the proxy list and
// its exceptions; empty when it names none.
struct TMachineProxy {
    std::wstring Proxy;
    std::wstring Bypass;
};

TMachineProxy MachineProxy() {
    WINHTTP_PROXY_INFO LInfo{};
    TMachineProxy Result;
    if (WinHttpGetDefaultProxyConfiguration(&LInfo)) {
        Result.Proxy = Owned(LInfo.lpszProxy);
        Result.Bypass = Owned(LInfo.lpszProxyBypass);
        if (LInfo.dwAccessType != WINHTTP_ACCESS_TYPE_NAMED_PROXY) {
            Result.Proxy.clear();
        }
    }
    return Result;
}

// The proxy for scheme://host:port, worked out once per process and settings:
// the user's settings (automatic detection and a PAC script first, as the
// browser does, then the fixed proxy), or the machine-wide WinHTTP proxy when
// the installer runs as another account or the user's settings name none.
// Empty: direct. ACancelled is asked while a detection runs; it ends by the
// connect time-out at the latest.
std::wstring UserProxyFor(const std::wstring& AScheme, const std::wstring& AHost,
                          INTERNET_PORT APort, const std::function<bool()>& ACancelled) {
    const std::wstring LHostPort = AHost + L":" + std::to_wstring(APort);
    const std::wstring LKey = AScheme + L"://" + LHostPort;
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG LConfig{};
    if (!WinHttpGetIEProxyConfigForCurrentUser(&LConfig)) {
        LConfig = {};
    }
    const bool LAutoDetect = LConfig.fAutoDetect;
    const std::wstring LConfigUrl = Trimmed(Owned(LConfig.lpszAutoConfigUrl));
    const std::wstring LBypass = Owned(LConfig.lpszProxyBypass);
    const std::wstring LManual = Trimmed(Owned(LConfig.lpszProxy));
    const TSessionAccounts& LAccounts = SessionAccountsOnce();
    const bool LOtherAccount = LAccounts.Known && LAccounts.Differs;
    const bool LUserNamesNone = !LAutoDetect && LConfigUrl.empty() && LManual.empty();
    const TMachineProxy LMachine =
        LOtherAccount || LUserNamesNone ? MachineProxy() : TMachineProxy{};
    // Settings changed meanwhile are a new question.
    const std::wstring LChoice = LKey + L"\n" + (LAutoDetect ? L"auto" : L"") + L"\n" + LConfigUrl +
                                 L"\n" + LManual + L"\n" + LBypass + L"\n" + LMachine.Proxy +
                                 L"\n" + LMachine.Bypass;
    static std::mutex GLock;
    static std::map<std::wstring, std::wstring> GChosen;
    {
        const std::lock_guard LLock(GLock);
        const auto LFound = GChosen.find(LChoice);
        if (LFound != GChosen.end()) {
            return LFound->second;
        }
    }
    const auto LRemember = [&](const std::wstring& AProxy) {
        const std::lock_guard LLock(GLock);
        GChosen.emplace(LChoice, AProxy);
        return AProxy;
    };
    const std::string LWhy = LOtherAccount
                                 ? "the installer runs as " + LAccounts.ProcessAccount +
                                       ", not as the signed-in user " + LAccounts.SessionAccount
                                 : "the user's settings name no proxy";
    if (!LMachine.Proxy.empty()) {
        std::wstring LProxy = Trimmed(ProxyForScheme(LMachine.Proxy, AScheme));
        if (!LProxy.empty() && Bypassed(LMachine.Bypass, AHost, LHostPort)) {
            LProxy.clear();
        }
        THttpClient::Log(
            "Requests to " + Narrow(LKey) +
            (LProxy.empty() ? " go directly" : " go through the proxy " + Narrow(LProxy)) +
            " (from the machine-wide WinHTTP settings: " + LWhy + ")");
        return LRemember(LProxy);
    }
    if (LOtherAccount) {
        THttpClient::Log("The machine-wide WinHTTP settings name no proxy, so requests to " +
                         Narrow(LKey) + " follow the proxy settings of " +
                         LAccounts.ProcessAccount + " (" + LWhy + ")");
    }
    std::wstring Result = Trimmed(ProxyForScheme(LManual, AScheme));
    if (!Result.empty() && Bypassed(LBypass, AHost, LHostPort)) {
        Result.clear();
    }
    std::string LSource = "the user's proxy settings";
    bool LExplained = false;
    if (LAutoDetect || !LConfigUrl.empty()) {
        // Only what the request needs to choose a proxy, never its path and
        // query (tokens, password hashes).
        const TProxyAnswer LLookup =
            LookUpProxyAside(LKey + L"/", LAutoDetect, LConfigUrl,
                             TClock::now() + THttpClient::Limits().ConnectTimeout, ACancelled);
        const std::string LFallback =
            Result.empty() ? "connecting directly" : "using the proxy " + Narrow(Result);
        LExplained = !LLookup.Finished || LLookup.Error != 0;
        if (!LLookup.Finished) {
            THttpClient::Log("Proxy detection for " + Narrow(LKey) + " did not answer within " +
                             DurationText(THttpClient::Limits().ConnectTimeout) + ": " + LFallback);
        } else if (LLookup.Error != 0) {
            THttpClient::Log("Proxy detection for " + Narrow(LKey) + " failed (WinHTTP error " +
                             std::to_string(LLookup.Error) + "): " + LFallback);
        } else {
            Result = LLookup.Proxy;
            LSource = LConfigUrl.empty() ? "automatic proxy detection"
                                         : "the proxy script " + Narrow(LConfigUrl);
        }
    }
    if (!Result.empty() && !LExplained) {
        THttpClient::Log("Requests to " + Narrow(LKey) + " go through the proxy " + Narrow(Result) +
                         " (from " + LSource + ")");
    }
    return LRemember(Result);
}

// "host:port" of "http://host:port": the form the session takes everywhere.
std::string ProxyHostPort(const std::string& AAddress) {
    return AAddress.rfind("http://", 0) == 0 ? AAddress.substr(7) : AAddress;
}

// An async session, direct or through AProxy ("host:port"): Wine takes a
// proxy only when the session opens, never from an option set later.
HINTERNET OpenSession(const std::wstring& AProxy) {
    // No agent of our own; WinHTTP sends none then.
    const HINTERNET Result =
        AProxy.empty() ? WinHttpOpen(nullptr, WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                     WINHTTP_NO_PROXY_BYPASS, WINHTTP_FLAG_ASYNC)
                       : WinHttpOpen(nullptr, WINHTTP_ACCESS_TYPE_NAMED_PROXY, AProxy.c_str(),
                                     WINHTTP_NO_PROXY_BYPASS, WINHTTP_FLAG_ASYNC);
    if (!Result) {
        throw THttpError("Failed to create the HTTP client");
    }
    // TLS 1.2 or later, as on libcurl; Windows before 11 knows no TLS 1.3 flag.
    DWORD LProtocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3;
    if (!WinHttpSetOption(Result, WINHTTP_OPTION_SECURE_PROTOCOLS, &LProtocols,
                          sizeof LProtocols)) {
        LProtocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2;
        if (!WinHttpSetOption(Result, WINHTTP_OPTION_SECURE_PROTOCOLS, &LProtocols,
                              sizeof LProtocols)) {
            WinHttpCloseHandle(Result);
            throw THttpError("Failed to require TLS 1.2 or later for the HTTP client");
        }
    }
    return Result;
}

constexpr const char* KSignInRefused = "it did not accept your Windows sign-in";

// One GET on the async API: every WinHTTP call returns at once and completes
// through StatusCallback, so the calling thread can watch cancellation, the
// connect time-out and the stall limit while it waits, and end the request by
// closing its handle (a blocking call would not return before the peer does).
class TTransfer {
public:
    TTransfer(HINTERNET ASession, const std::string& AUrl, const std::atomic<bool>& ACancelled,
              std::uint64_t AEpoch)
        : FUrl(AUrl), FCancelled(ACancelled), FEpoch(AEpoch), FLimits(THttpClient::Limits()) {
        const TUrl LUrl = CrackUrl(AUrl);
        FHost = Narrow(LUrl.Host);
        FPort = LUrl.Port;
        FHostPort = FHost + ":" + std::to_string(FPort);
        const THttpProxy LChosen = THttpClient::Proxy();
        const std::wstring LProxy =
            LChosen.Mode == THttpProxy::pmNamed ? Widen(ProxyHostPort(LChosen.Address))
            : LChosen.Mode == THttpProxy::pmNone
                ? std::wstring()
                : UserProxyFor(LUrl.Secure ? L"https" : L"http", LUrl.Host, LUrl.Port, [this] {
                      return FCancelled.load() || THttpClient::CancelEpoch() != FEpoch;
                  });
        FProxy = Narrow(LProxy);
        // A proxy gets a session of its own, the only place Wine honours it.
        if (!LProxy.empty()) {
            FProxySession.Value = OpenSession(LProxy);
            ASession = FProxySession.Value;
        }
        FConnection.Value = WinHttpConnect(ASession, LUrl.Host.c_str(), LUrl.Port, 0);
        if (!FConnection.Value) {
            Fail(GetLastError());
        }
        FRequest.Value = WinHttpOpenRequest(
            FConnection.Value, L"GET", LUrl.PathAndQuery.c_str(), nullptr, WINHTTP_NO_REFERER,
            WINHTTP_DEFAULT_ACCEPT_TYPES, LUrl.Secure ? WINHTTP_FLAG_SECURE : 0);
        if (!FRequest.Value) {
            Fail(GetLastError());
        }
        // From here on the state belongs to the request handle: the callback
        // frees it when the handle closes.
        auto* LState = new TCallbackState;
        DWORD_PTR LContext = reinterpret_cast<DWORD_PTR>(LState);
        if (!LState->Event ||
            !WinHttpSetOption(FRequest.Value, WINHTTP_OPTION_CONTEXT_VALUE, &LContext,
                              sizeof LContext) ||
            WinHttpSetStatusCallback(
                FRequest.Value, &StatusCallback,
                WINHTTP_CALLBACK_FLAG_ALL_COMPLETIONS | WINHTTP_CALLBACK_FLAG_SECURE_FAILURE |
                    WINHTTP_CALLBACK_FLAG_SEND_REQUEST | WINHTTP_CALLBACK_FLAG_RECEIVE_RESPONSE |
                    WINHTTP_CALLBACK_FLAG_HANDLES,
                0) == WINHTTP_INVALID_STATUS_CALLBACK) {
            const DWORD LError = GetLastError();
            delete LState;
            FRequest.Close();
            Fail(LError);
        }
        FState = LState;

        DWORD LFeature = WINHTTP_DISABLE_REDIRECTS;
        WinHttpSetOption(FRequest.Value, WINHTTP_OPTION_DISABLE_FEATURE, &LFeature,
                         sizeof LFeature);
        DWORD LPolicy = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
        WinHttpSetOption(FRequest.Value, WINHTTP_OPTION_REDIRECT_POLICY, &LPolicy, sizeof LPolicy);
        // The tests' CA is no root the system knows: WinHTTP lets an unknown
        // authority pass and the chain is checked against that CA once the
        // answer has come, before anything of it is used. Tests only: the
        // request has gone out by then.
        const std::string LTestCa = THttpClient::TestCaFile();
        if (LUrl.Secure && !LTestCa.empty()) {
            FTestCa = LoadPemCertificate(LTestCa);
            if (!FTestCa) {
                throw THttpError("error setting certificate file: " + LTestCa);
            }
            DWORD LFlags = SECURITY_FLAG_IGNORE_UNKNOWN_CA;
            WinHttpSetOption(FRequest.Value, WINHTTP_OPTION_SECURITY_FLAGS, &LFlags, sizeof LFlags);
            // Wine hands a kept connection to any later request of the
            // process, unchecked: none made with these flags is kept.
            DWORD LNoKeepAlive = WINHTTP_DISABLE_KEEP_ALIVE;
            WinHttpSetOption(FRequest.Value, WINHTTP_OPTION_DISABLE_FEATURE, &LNoKeepAlive,
                             sizeof LNoKeepAlive);
        } else {
            // Revocation is checked where Windows can; a check that cannot be
            // made fails the request with its own text. (The tests' CA names
            // no revocation list.)
            DWORD LRevocation = WINHTTP_ENABLE_SSL_REVOCATION;
            WinHttpSetOption(FRequest.Value, WINHTTP_OPTION_ENABLE_FEATURE, &LRevocation,
                             sizeof LRevocation);
        }
        // WinHTTP's own clocks agree with ours, so a request it still holds
        // after a cancellation ends by itself as well.
        const int LConnectMs = static_cast<int>(FLimits.ConnectTimeout.count());
        const int LStallMs = static_cast<int>(FLimits.StallLimit.count());
        WinHttpSetTimeouts(FRequest.Value, LConnectMs, LConnectMs, LStallMs, LStallMs);
    }

    ~TTransfer() {
        if (FTestCa) {
            CertFreeCertificateContext(FTestCa);
        }
    }
    TTransfer(const TTransfer&) = delete;
    TTransfer& operator=(const TTransfer&) = delete;

    void Run(THttpClient& AClient, const std::function<void(const char*, std::size_t)>& AWrite) {
        FStart = TClock::now();
        SendAndReceive();
        if (FTestCa) {
            CheckTestCa();
        }

        DWORD LStatus = Status();
        if (LStatus == 407 && !FProxy.empty()) {
            LStatus = SignInToProxy();
        }
        if (LStatus < 200 || LStatus > 299) {
            throw THttpError(
                ProxyRefusalOr("The requested URL returned error: " + std::to_string(LStatus)));
        }
        if (AClient.OnHead) {
            TAnswerHead LHead;
            LHead.Status = static_cast<long>(LStatus);
            LHead.ETag = HeaderText(WINHTTP_QUERY_ETAG);
            LHead.LastModified = HeaderText(WINHTTP_QUERY_LAST_MODIFIED);
            ParseContentRange(HeaderText(WINHTTP_QUERY_CONTENT_RANGE), LHead);
            AClient.OnHead(LHead);
        }
        const bool LChunked = Chunked();
        const std::int64_t LExpected = ContentLength(LChunked);
        if (AClient.OnBegin) {
            AClient.OnBegin(LExpected);
        }

        std::int64_t LReceived = 0;
        FState->PeerClosed = false;
        for (;;) {
            if (!WinHttpQueryDataAvailable(FRequest.Value, nullptr)) {
                Fail(GetLastError());
            }
            Wait();
            // Only what has arrived: a larger read waits for the rest (Wine's
            // fills its whole buffer), and a slow but steady line would look
            // silent meanwhile.
            const DWORD LAvailable = std::min(FState->Bytes, KBlockSize);
            if (LAvailable == 0) {
                break;
            }
            if (!WinHttpReadData(FRequest.Value, FState->Buffer.data(), LAvailable, nullptr)) {
                Fail(GetLastError());
            }
            Wait();
            const DWORD LGot = FState->Bytes;
            if (LGot == 0) {
                break;
            }
            FLastByte = TClock::now();
            AWrite(FState->Buffer.data(), LGot);
            LReceived += LGot;
            if (AClient.OnProgress) {
                AClient.OnProgress(LReceived);
            }
        }
        // WinHTTP ends quietly when the peer closes early: a chunked body
        // closed before its terminating chunk, or an announced length not
        // reached, is a failed transfer, as it is for libcurl.
        if (LChunked && FState->PeerClosed) {
            throw THttpError("transfer closed with outstanding read data remaining", true);
        }
        if (LExpected >= 0 && LReceived < LExpected) {
            throw THttpError("transfer closed with " + std::to_string(LExpected - LReceived) +
                                 " bytes remaining to read",
                             true);
        }
        if (AClient.OnEnd) {
            AClient.OnEnd(LReceived);
        }
    }

private:
    // Sends the request and waits for the answer's headers.
    void SendAndReceive() {
        const wchar_t* LHeaders =
            FExtraHeaders.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : FExtraHeaders.c_str();
        const DWORD LHeadersLength = FExtraHeaders.empty() ? 0 : static_cast<DWORD>(-1L);
        if (!WinHttpSendRequest(FRequest.Value, LHeaders, LHeadersLength, WINHTTP_NO_REQUEST_DATA,
                                0, 0, reinterpret_cast<DWORD_PTR>(FState))) {
            Fail(GetLastError());
        }
        Wait();
        if (!WinHttpReceiveResponse(FRequest.Value, nullptr)) {
            Fail(GetLastError());
        }
        Wait();
        FLastByte = TClock::now();
    }

    DWORD Status() {
        DWORD Result = 0;
        DWORD LSize = sizeof Result;
        if (!WinHttpQueryHeaders(
                FRequest.Value, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                WINHTTP_HEADER_NAME_BY_INDEX, &Result, &LSize, WINHTTP_NO_HEADER_INDEX)) {
            Fail(GetLastError());
        }
        return Result;
    }

    // A proxy that wants a sign-in gets the user's Windows sign-in when it
    // takes Negotiate or NTLM, and the request goes out once more; the answer
    // to that is final. We keep no passwords, so Basic and Digest get a text
    // that says so.
    DWORD SignInToProxy() {
        DWORD LSupported = 0;
        DWORD LFirst = 0;
        DWORD LTarget = 0;
        if (!WinHttpQueryAuthSchemes(FRequest.Value, &LSupported, &LFirst, &LTarget)) {
            LSupported = 0;
        }
        const DWORD LScheme = (LSupported & WINHTTP_AUTH_SCHEME_NEGOTIATE)
                                  ? WINHTTP_AUTH_SCHEME_NEGOTIATE
                              : (LSupported & WINHTTP_AUTH_SCHEME_NTLM) ? WINHTTP_AUTH_SCHEME_NTLM
                                                                        : 0;
        if (LScheme == 0) {
            throw THttpError(ProxySignInText(
                FProxy, "it asks for " + AuthSchemeNames(LSupported) +
                            ", and the installer signs in to a proxy only with your Windows "
                            "sign-in (Negotiate or NTLM)"));
        }
        // The sign-in goes to this proxy, the one the user's settings name.
        DWORD LPolicy = WINHTTP_AUTOLOGON_SECURITY_LEVEL_LOW;
        WinHttpSetOption(FRequest.Value, WINHTTP_OPTION_AUTOLOGON_POLICY, &LPolicy, sizeof LPolicy);
        if (!WinHttpSetCredentials(FRequest.Value, WINHTTP_AUTH_TARGET_PROXY, LScheme, nullptr,
                                   nullptr, nullptr)) {
            throw THttpError(ProxySignInText(FProxy, "your Windows sign-in could not be offered "
                                                     "to it (WinHTTP error " +
                                                         std::to_string(GetLastError()) + ")"));
        }
        FSigningIn = true;
        SendAndReceive();
        const DWORD Result = Status();
        if (Result == 407) {
            throw THttpError(ProxySignInText(FProxy, KSignInRefused));
        }
        return Result;
    }

    static std::string AuthSchemeNames(DWORD ASchemes) {
        std::string Result;
        for (const auto& [LScheme, LName] :
             {std::pair<DWORD, const char*>{WINHTTP_AUTH_SCHEME_BASIC, "Basic"},
              {WINHTTP_AUTH_SCHEME_DIGEST, "Digest"},
              {WINHTTP_AUTH_SCHEME_PASSPORT, "Passport"}}) {
            if (ASchemes & LScheme) {
                Result += (Result.empty() ? "" : " or ") + std::string(LName);
            }
        }
        return Result.empty() ? "a sign-in it does not name" : Result;
    }

    void CheckTestCa() const {
        PCCERT_CONTEXT LServer = nullptr;
        DWORD LSize = sizeof LServer;
        const bool LTrusted = WinHttpQueryOption(FRequest.Value, WINHTTP_OPTION_SERVER_CERT_CONTEXT,
                                                 &LServer, &LSize) &&
                              LServer && ChainsTo(LServer, FTestCa);
        if (LServer) {
            CertFreeCertificateContext(LServer);
        }
        if (!LTrusted) {
            throw THttpError(CertificateText(WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CA) + " (" +
                             FHostPort + ")");
        }
    }

    // Waits until the pending operation completes, or cancellation or one of
    // the clocks ends the request.
    void Wait() {
        for (;;) {
            const DWORD LWait = WaitForSingleObject(FState->Event, KPollMs);
            if (LWait == WAIT_OBJECT_0) {
                if (FState->Completed == WINHTTP_CALLBACK_STATUS_REQUEST_ERROR) {
                    Fail(FState->Error);
                }
                return;
            }
            if (LWait != WAIT_TIMEOUT) {
                Abort("Waiting for the HTTP request failed");
            }
            if (FCancelled.load() || THttpClient::CancelEpoch() != FEpoch) {
                Abort("The download was cancelled");
            }
            const auto LNow = TClock::now();
            if (!FConnected && FState->Sent) {
                FConnected = true;
                FLastByte = LNow;
            }
            FLastByte = std::max(FLastByte,
                                 TClock::time_point(TClock::duration(FState->LastArrival.load())));
            if (!FConnected && FLimits.ConnectTimeout.count() > 0 &&
                LNow - FStart >= FLimits.ConnectTimeout) {
                Abort(ConnectTimeoutText(), false, true);
            }
            if (FConnected && FLimits.StallLimit.count() > 0 &&
                LNow - FLastByte >= FLimits.StallLimit) {
                Abort(StallText(), true);
            }
        }
    }

    // Ends the request now; WinHTTP may finish with it later and then frees
    // the callback state.
    [[noreturn]] void Abort(const std::string& AText, bool ACut = false,
                            bool AUnreachable = false) {
        FState = nullptr;
        FRequest.Close();
        throw THttpError(AText, ACut, AUnreachable);
    }

    [[noreturn]] void Fail(DWORD AError) {
        if (FSigningIn && AError == ERROR_WINHTTP_LOGIN_FAILURE) {
            throw THttpError(ProxySignInText(FProxy, KSignInRefused));
        }
        if (AError == ERROR_WINHTTP_OPERATION_CANCELLED &&
            (FCancelled.load() || THttpClient::CancelEpoch() != FEpoch)) {
            throw THttpError("The download was cancelled");
        }
        // Wine reports its own receive time-out as the socket's WSAETIMEDOUT.
        if (AError == ERROR_WINHTTP_TIMEOUT || AError == WSAETIMEDOUT) {
            const bool LStalled = FConnected || (FState && FState->Sent);
            throw THttpError(LStalled ? StallText() : ConnectTimeoutText(), LStalled, !LStalled);
        }
        if (AError == ERROR_WINHTTP_SECURE_FAILURE && FState && FState->SecureFailure) {
            throw THttpError(CertificateText(FState->SecureFailure) + " (" + FHostPort + ")");
        }
        if (AError == ERROR_WINHTTP_CANNOT_CONNECT || AError == ERROR_WINHTTP_NAME_NOT_RESOLVED) {
            const std::string LPeer =
                FProxy.empty() ? FHost + " port " + std::to_string(FPort) : "proxy " + FProxy;
            throw THttpError("Failed to connect to " + LPeer + ": " + WinHttpErrorText(AError),
                             false, true);
        }
        // The connection broke after the request went out: the rest may come
        // on another try.
        const bool LCut = AError == ERROR_WINHTTP_CONNECTION_ERROR ||
                          AError == ERROR_WINHTTP_INVALID_SERVER_RESPONSE ||
                          AError == WSAECONNRESET || AError == WSAECONNABORTED;
        throw THttpError(WinHttpErrorText(AError) + " (" + FHostPort + ")", LCut);
    }

    std::string ConnectTimeoutText() const {
        return "Connecting to " + FHostPort + " timed out after " +
               DurationText(FLimits.ConnectTimeout);
    }

    std::string StallText() const {
        return "No data received from the server for " + DurationText(FLimits.StallLimit);
    }

    // A proxy that refuses the tunnel answers in the server's place.
    std::string ProxyRefusalOr(const std::string& AText) const {
        if (FProxy.empty() || FUrl.rfind("https://", 0) != 0) {
            return AText;
        }
        return AText + " (through proxy " + FProxy + ")";
    }

    std::string HeaderText(DWORD AQuery) const { return Narrow(Header(AQuery).value_or(L"")); }

public:
    // Asks for the rest of a file from AFrom, with If-Range when a validator is known.
    void AskForRange(const TRangeRequest& ARange) {
        if (ARange.From <= 0) {
            return;
        }
        FExtraHeaders = L"Range: bytes=" + std::to_wstring(ARange.From) + L"-";
        if (!ARange.Validator.empty()) {
            FExtraHeaders += L"\r\nIf-Range: " + Widen(ARange.Validator);
        }
    }

private:
    // A response header as sent, or nothing when there is none.
    std::optional<std::wstring> Header(DWORD AQuery) const {
        DWORD LSize = 0;
        if (WinHttpQueryHeaders(FRequest.Value, AQuery, WINHTTP_HEADER_NAME_BY_INDEX,
                                WINHTTP_NO_OUTPUT_BUFFER, &LSize, WINHTTP_NO_HEADER_INDEX) ||
            GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
            return std::nullopt;
        }
        std::wstring Result(LSize / sizeof(wchar_t) + 1, L'\0');
        LSize = static_cast<DWORD>(Result.size() * sizeof(wchar_t));
        if (!WinHttpQueryHeaders(FRequest.Value, AQuery, WINHTTP_HEADER_NAME_BY_INDEX,
                                 Result.data(), &LSize, WINHTTP_NO_HEADER_INDEX)) {
            return std::nullopt;
        }
        Result.resize(LSize / sizeof(wchar_t));
        return Result;
    }

    bool Chunked() const {
        return Lowered(Header(WINHTTP_QUERY_TRANSFER_ENCODING).value_or(L"")).find(L"chunked") !=
               std::wstring::npos;
    }

    // The announced body length, read in full (WinHTTP's own reading stops at
    // 32 bits); -1 when none is announced or the body is chunked.
    std::int64_t ContentLength(bool AChunked) const {
        const auto LText = Header(WINHTTP_QUERY_CONTENT_LENGTH);
        if (!LText) {
            return -1;
        }
        const std::int64_t LLength = AnnouncedLength(Narrow(*LText));
        return AChunked ? -1 : LLength;
    }

    std::string FUrl;
    std::string FHost;
    int FPort = 0;
    std::string FHostPort;
    std::string FProxy;
    const std::atomic<bool>& FCancelled;
    std::uint64_t FEpoch;
    THttpLimits FLimits;
    THandle FProxySession;
    THandle FConnection;
    THandle FRequest; // closed before FConnection: members end in reverse order
    TCallbackState* FState = nullptr;
    PCCERT_CONTEXT FTestCa = nullptr;
    TClock::time_point FStart;
    TClock::time_point FLastByte;
    bool FConnected = false;
    bool FSigningIn = false;
    std::wstring FExtraHeaders;
};

} // namespace

THttpClient::THttpClient() {
    FHandle = OpenSession(L"");
}

THttpClient::~THttpClient() {
    WinHttpCloseHandle(static_cast<HINTERNET>(FHandle));
}

void THttpClient::Get(const std::string& AUrl,
                      const std::function<void(const char*, std::size_t)>& AWrite) {
    const std::uint64_t LEpoch = FPinned ? FPinnedEpoch : THttpClient::CancelEpoch();
    const std::optional<TRangeRequest> LRange = std::exchange(Range, std::nullopt);
    try {
        if (FCancelled || LEpoch != THttpClient::CancelEpoch()) {
            throw THttpError("The download was cancelled");
        }
        TTransfer LTransfer(static_cast<HINTERNET>(FHandle), AUrl, FCancelled, LEpoch);
        if (LRange) {
            LTransfer.AskForRange(*LRange);
        }
        LTransfer.Run(*this, AWrite);
    } catch (...) {
        FCancelled = false;
        throw;
    }
}

} // namespace orvane
