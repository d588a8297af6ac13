#include "platform/Privilege.h"

#include "platform/Win32Text.h"

#include <stdexcept>

namespace orvane {

namespace {

[[noreturn]] void RaiseLastError() {
    throw std::runtime_error(SystemErrorText(GetLastError()));
}

} // namespace

bool EnablePrivilege(const std::string& APrivilege, bool AEnable) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token))
        RaiseLastError();
    struct TTokenCloser {
        HANDLE FHandle;
        ~TTokenCloser() { CloseHandle(FHandle); }
    } closer{token};

    TOKEN_PRIVILEGES privileges{};
    privileges.PrivilegeCount = 1;
    if (!LookupPrivilegeValueW(nullptr, Widen(APrivilege).c_str(), &privileges.Privileges[0].Luid))
        RaiseLastError();
    privileges.Privileges[0].Attributes = AEnable ? SE_PRIVILEGE_ENABLED : 0;

    // Room for the one previous entry (16 bytes). A token without the privilege
    // still reports success, and says so only through ERROR_NOT_ALL_ASSIGNED.
    TOKEN_PRIVILEGES previous{};
    DWORD previousLen = 0;
    static_assert(sizeof(previous) == 16);
    if (!AdjustTokenPrivileges(token, FALSE, &privileges, sizeof(previous), &previous,
                               &previousLen))
        RaiseLastError();
    return GetLastError() != ERROR_NOT_ALL_ASSIGNED;
}

} // namespace orvane
