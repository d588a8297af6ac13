#include "platform/SessionAccount.h"

#include "platform/Win32Text.h"

#include <wtsapi32.h>

#include <cstdint>
#include <vector>

namespace orvane {

namespace {

using THandle = TOwnedHandle<HANDLE, &CloseHandle>;

TAccountAnswer Failed(const std::string& AWhat, DWORD ACode) {
    return {std::nullopt, AWhat + ": " + SystemErrorText(ACode)};
}

TAccountAnswer AccountOfSid(PSID ASid) {
    std::vector<wchar_t> Name(256);
    std::vector<wchar_t> Domain(256);
    for (;;) {
        DWORD NameLen = static_cast<DWORD>(Name.size());
        DWORD DomainLen = static_cast<DWORD>(Domain.size());
        SID_NAME_USE Use{};
        if (LookupAccountSidW(nullptr, ASid, Name.data(), &NameLen, Domain.data(), &DomainLen,
                              &Use))
            return {TAccountName{Narrow(Domain.data()), Narrow(Name.data())}, {}};
        const DWORD Code = GetLastError();
        if (Code != ERROR_INSUFFICIENT_BUFFER ||
            (NameLen <= Name.size() && DomainLen <= Domain.size()))
            return Failed("LookupAccountSidW", Code);
        Name.resize(NameLen > Name.size() ? NameLen : Name.size());
        Domain.resize(DomainLen > Domain.size() ? DomainLen : Domain.size());
    }
}

TAccountAnswer AccountOfToken(HANDLE AToken) {
    DWORD Size = 0;
    GetTokenInformation(AToken, TokenUser, nullptr, 0, &Size);
    if (Size == 0)
        return Failed("GetTokenInformation", GetLastError());
    // TOKEN_USER holds pointers: keep the buffer aligned for them.
    std::vector<std::uint64_t> Buffer(Size / sizeof(std::uint64_t) + 1);
    if (!GetTokenInformation(AToken, TokenUser, Buffer.data(), Size, &Size))
        return Failed("GetTokenInformation", GetLastError());
    return AccountOfSid(reinterpret_cast<const TOKEN_USER*>(Buffer.data())->User.Sid);
}

TAccountAnswer AccountOfProcess(HANDLE AProcess) {
    THandle Token;
    if (!OpenProcessToken(AProcess, TOKEN_QUERY, Token.Out()))
        return Failed("OpenProcessToken", GetLastError());
    return AccountOfToken(Token.Get());
}

// A text of the current session, or why it could not be read.
bool SessionText(WTS_INFO_CLASS AClass, std::string& AText, std::string& AError) {
    LPWSTR Buffer = nullptr;
    DWORD Bytes = 0;
    if (!WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, WTS_CURRENT_SESSION, AClass,
                                     &Buffer, &Bytes)) {
        AError = "WTSQuerySessionInformationW: " + SystemErrorText(GetLastError());
        return false;
    }
    AText = Buffer != nullptr ? Narrow(Buffer) : std::string();
    WTSFreeMemory(Buffer);
    return true;
}

// The shell (Explorer) runs as the user signed in to the desktop.
TAccountAnswer ShellOwner() {
    const HWND Shell = GetShellWindow();
    if (Shell == nullptr)
        return {std::nullopt, "there is no shell window"};
    DWORD ProcessId = 0;
    GetWindowThreadProcessId(Shell, &ProcessId);
    THandle Process;
    *Process.Out() = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, ProcessId);
    if (Process.Get() == nullptr)
        return Failed("OpenProcess of the shell", GetLastError());
    return AccountOfProcess(Process.Get());
}

} // namespace

TAccountAnswer QueryProcessAccount() {
    return AccountOfProcess(GetCurrentProcess());
}

TAccountAnswer QuerySessionAccount() {
    std::string User;
    std::string Domain;
    std::string Error;
    if (SessionText(WTSUserName, User, Error) && SessionText(WTSDomainName, Domain, Error) &&
        !User.empty())
        return {TAccountName{Domain, User}, {}};
    // A session without a user (services, some remote sessions): ask the shell.
    TAccountAnswer Shell = ShellOwner();
    if (!Shell.Account) {
        const std::string Session = Error.empty() ? "the session has no user" : Error;
        Shell.Reason = Session + "; " + Shell.Reason;
    }
    return Shell;
}

} // namespace orvane
