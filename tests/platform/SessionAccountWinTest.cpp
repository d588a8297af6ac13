#include "platform/SessionAccount.h"
#include "platform/Text.h"
#include "platform/Win32Text.h"

#include <gtest/gtest.h>

#include <iostream>
#include <string>

using namespace orvane;

namespace {

bool RunningUnderWine() {
    const HMODULE Ntdll = GetModuleHandleW(L"ntdll.dll");
    return Ntdll != nullptr && GetProcAddress(Ntdll, "wine_get_version") != nullptr;
}

std::string UserName() {
    wchar_t Buffer[257] = {};
    DWORD Len = 257;
    return GetUserNameW(Buffer, &Len) ? Narrow(Buffer) : std::string();
}

// The tests run as the user signed in to the desktop: both sides name that user.
TEST(SessionAccountWin, TheProcessTokenNamesThisUser) {
    const std::string Expected = UserName();
    ASSERT_FALSE(Expected.empty());
    const TAccountAnswer Process = QueryProcessAccount();
    ASSERT_TRUE(Process.Account.has_value()) << Process.Reason;
    EXPECT_TRUE(SameName(Process.Account->User, Expected))
        << Process.Account->User << " / " << Expected;
    // A local or domain account always has its domain (the computer's name for
    // a local one).
    EXPECT_FALSE(Process.Account->Domain.empty());
}

TEST(SessionAccountWin, TheSessionNamesThisUser) {
    const TAccountAnswer Session = QuerySessionAccount();
    ASSERT_TRUE(Session.Account.has_value()) << Session.Reason;
    EXPECT_TRUE(SameName(Session.Account->User, UserName())) << Session.Account->User;
    EXPECT_FALSE(Session.Account->Domain.empty());
}

TEST(SessionAccountWin, NotElevatedAsAnotherAccount) {
    const TSessionAccounts R = QuerySessionAccounts();
    ASSERT_TRUE(R.Known) << R.Reason;
    EXPECT_FALSE(R.Differs) << R.ProcessAccount << " / " << R.SessionAccount;
    EXPECT_TRUE(SameName(R.ProcessAccount, R.SessionAccount))
        << R.ProcessAccount << " / " << R.SessionAccount;
    if (RunningUnderWine())
        // Wine has one user per prefix: an account that differs cannot be shown here.
        std::cout << "Wine reports the same account for both: " << R.ProcessAccount << '\n';
}

} // namespace
