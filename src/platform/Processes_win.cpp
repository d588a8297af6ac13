#include "platform/Processes.h"

#include "platform/Win32Text.h"

#include <windows.h>

#include <tlhelp32.h>

namespace orvane {

std::vector<TProcessInfo> FindRunningProcesses(const std::string& AExeName) {
    std::vector<TProcessInfo> LResult;
    const std::wstring LWanted = Widen(AExeName);
    const HANDLE LSnapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (LSnapshot == INVALID_HANDLE_VALUE) {
        return LResult;
    }
    PROCESSENTRY32W LEntry{};
    LEntry.dwSize = sizeof(LEntry);
    for (BOOL LMore = Process32FirstW(LSnapshot, &LEntry); LMore;
         LMore = Process32NextW(LSnapshot, &LEntry)) {
        if (CompareStringOrdinal(LEntry.szExeFile, -1, LWanted.c_str(), -1, TRUE) == CSTR_EQUAL) {
            LResult.push_back({LEntry.th32ProcessID, Narrow(LEntry.szExeFile)});
        }
    }
    CloseHandle(LSnapshot);
    return LResult;
}

} // namespace orvane
