#include "platform/Processes.h"

#include "platform/Win32Text.h"

#include <windows.h>

#include <tlhelp32.h>

#include <cstdint>
#include <vector>

namespace orvane {

namespace {

using THandle = TOwnedHandle<HANDLE, &CloseHandle>;

// The token user of AProcess (TOKEN_USER holds pointers: the buffer is kept
// aligned for them); empty when the token cannot be read, as for another
// user's process without the right to look.
std::vector<std::uint64_t> TokenUserOf(HANDLE AProcess) {
    THandle LToken;
    if (!OpenProcessToken(AProcess, TOKEN_QUERY, LToken.Out()))
        return {};
    DWORD LSize = 0;
    GetTokenInformation(LToken.Get(), TokenUser, nullptr, 0, &LSize);
    if (LSize == 0)
        return {};
    std::vector<std::uint64_t> LBuffer(LSize / sizeof(std::uint64_t) + 1);
    if (!GetTokenInformation(LToken.Get(), TokenUser, LBuffer.data(), LSize, &LSize))
        return {};
    return LBuffer;
}

PSID SidOf(std::vector<std::uint64_t>& ATokenUser) {
    return reinterpret_cast<TOKEN_USER*>(ATokenUser.data())->User.Sid;
}

// Same session and same token user as this process: only such an IDE writes
// back the keys this installer changes.
bool OfThisAccount(DWORD APid, DWORD AOwnSession, std::vector<std::uint64_t>& AOwnUser) {
    DWORD LSession = 0;
    if (!ProcessIdToSessionId(APid, &LSession) || LSession != AOwnSession)
        return false;
    THandle LProcess;
    *LProcess.Out() = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, APid);
    if (LProcess.Get() == nullptr)
        return false;
    auto LUser = TokenUserOf(LProcess.Get());
    return !LUser.empty() && !AOwnUser.empty() && EqualSid(SidOf(LUser), SidOf(AOwnUser));
}

} // namespace

std::vector<TProcessInfo> FindRunningProcesses(const std::string& AExeName) {
    std::vector<TProcessInfo> LResult;
    const std::wstring LWanted = Widen(AExeName);
    DWORD LOwnSession = 0;
    if (!ProcessIdToSessionId(GetCurrentProcessId(), &LOwnSession))
        return LResult;
    auto LOwnUser = TokenUserOf(GetCurrentProcess());
    THandle LSnapshot;
    *LSnapshot.Out() = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (LSnapshot.Get() == INVALID_HANDLE_VALUE) {
        *LSnapshot.Out() = nullptr;
        return LResult;
    }
    PROCESSENTRY32W LEntry{};
    LEntry.dwSize = sizeof(LEntry);
    for (BOOL LMore = Process32FirstW(LSnapshot.Get(), &LEntry); LMore;
         LMore = Process32NextW(LSnapshot.Get(), &LEntry)) {
        if (CompareStringOrdinal(LEntry.szExeFile, -1, LWanted.c_str(), -1, TRUE) == CSTR_EQUAL &&
            OfThisAccount(LEntry.th32ProcessID, LOwnSession, LOwnUser)) {
            LResult.push_back({LEntry.th32ProcessID, Narrow(LEntry.szExeFile)});
        }
    }
    return LResult;
}

} // namespace orvane
