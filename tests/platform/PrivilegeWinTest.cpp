#include "platform/Privilege.h"
#include "platform/Win32Text.h"

#include <gtest/gtest.h>

#include <optional>
#include <stdexcept>
#include <vector>

namespace {

// Attributes of a privilege in this process's token; nothing when the token
// does not hold it.
std::optional<DWORD> PrivilegeAttributes(const wchar_t* AName) {
    LUID luid{};
    if (!LookupPrivilegeValueW(nullptr, AName, &luid))
        return std::nullopt;
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return std::nullopt;
    DWORD len = 0;
    GetTokenInformation(token, TokenPrivileges, nullptr, 0, &len);
    std::vector<std::uint64_t> buffer(len / sizeof(std::uint64_t) + 1);
    std::optional<DWORD> result;
    if (GetTokenInformation(token, TokenPrivileges, buffer.data(), len, &len)) {
        const auto* privileges = reinterpret_cast<const TOKEN_PRIVILEGES*>(buffer.data());
        for (DWORD i = 0; i < privileges->PrivilegeCount; ++i) {
            const auto& p = privileges->Privileges[i];
            if (p.Luid.LowPart == luid.LowPart && p.Luid.HighPart == luid.HighPart)
                result = p.Attributes;
        }
    }
    CloseHandle(token);
    return result;
}

TEST(PrivilegeWin, EnablesAndDisablesInTheProcessToken) {
    for (const auto* name : {L"SeBackupPrivilege", L"SeRestorePrivilege"}) {
        const auto held = PrivilegeAttributes(name);
        if (!held)
            GTEST_SKIP() << "the token of this process does not hold the privilege";
        const std::string narrow = orvane::Narrow(name);
        SCOPED_TRACE(narrow);

        EXPECT_TRUE(orvane::EnablePrivilege(narrow, true));
        EXPECT_NE(*PrivilegeAttributes(name) & SE_PRIVILEGE_ENABLED, 0u);
        EXPECT_TRUE(orvane::EnablePrivilege(narrow, false));
        EXPECT_EQ(*PrivilegeAttributes(name) & SE_PRIVILEGE_ENABLED, 0u);
        EXPECT_TRUE(orvane::EnablePrivilege(narrow, true));
        EXPECT_NE(*PrivilegeAttributes(name) & SE_PRIVILEGE_ENABLED, 0u);
    }
}

// A token without the privilege gets false: the adjustment "succeeds" with
// ERROR_NOT_ALL_ASSIGNED, and the token is unchanged.
TEST(PrivilegeWin, PrivilegeTheTokenLacksReportsFalse) {
    // Held by no administrator's token on Windows.
    for (const auto* name : {L"SeCreateTokenPrivilege", L"SeTcbPrivilege",
                             L"SeTrustedCredManAccessPrivilege", L"SeRelabelPrivilege"}) {
        if (PrivilegeAttributes(name))
            continue;
        SCOPED_TRACE(orvane::Narrow(name));
        SetLastError(ERROR_SUCCESS);
        EXPECT_FALSE(orvane::EnablePrivilege(orvane::Narrow(name), true));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ALL_ASSIGNED));
        EXPECT_FALSE(PrivilegeAttributes(name).has_value());
        return;
    }
    GTEST_SKIP() << "this process's token holds every candidate privilege";
}

// A failed look-up raises the system's text for the look-up's error code
// (ERROR_NO_SUCH_PRIVILEGE on Windows; the wording is the system's).
TEST(PrivilegeWin, UnknownPrivilegeRaisesTheSystemText) {
    LUID luid{};
    ASSERT_FALSE(LookupPrivilegeValueW(nullptr, L"SeOrvaneNoSuchPrivilege", &luid));
    const std::string expected = orvane::SystemErrorText(GetLastError());
    try {
        orvane::EnablePrivilege("SeOrvaneNoSuchPrivilege", true);
        FAIL() << "no error";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(e.what(), expected);
        EXPECT_FALSE(expected.empty());
    }
}

} // namespace
