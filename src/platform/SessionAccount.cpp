#include "platform/SessionAccount.h"

#include "platform/Text.h"

namespace orvane {

std::string AccountText(const TAccountName& AAccount) {
    return AAccount.Domain.empty() ? AAccount.User : AAccount.Domain + "\\" + AAccount.User;
}

TSessionAccounts CompareAccounts(const TAccountAnswer& AProcess, const TAccountAnswer& ASession) {
    TSessionAccounts Result;
    const auto Missing = [&Result](const TAccountAnswer& AAnswer, const char* AWhose) {
        if (AAnswer.Account && !AAnswer.Account->User.empty())
            return false;
        Result.Reason = std::string("the account ") + AWhose + " is not known";
        if (!AAnswer.Reason.empty())
            Result.Reason += ": " + AAnswer.Reason;
        return true;
    };
    if (Missing(AProcess, "the installer runs as") || Missing(ASession, "signed in to the session"))
        return Result;

    const TAccountName& Process = *AProcess.Account;
    const TAccountName& Session = *ASession.Account;
    Result.ProcessAccount = AccountText(Process);
    Result.SessionAccount = AccountText(Session);
    if (!SameName(Process.User, Session.User)) {
        Result.Known = true;
        Result.Differs = true;
        return Result;
    }
    // "PC\dev" and "dev" may or may not be one account.
    if (Process.Domain.empty() != Session.Domain.empty()) {
        Result.Reason = "the domain of " +
                        (Process.Domain.empty() ? Result.ProcessAccount : Result.SessionAccount) +
                        " is not known";
        return Result;
    }
    Result.Known = true;
    Result.Differs = !SameName(Process.Domain, Session.Domain);
    return Result;
}

TSessionAccounts QuerySessionAccounts() {
    return CompareAccounts(QueryProcessAccount(), QuerySessionAccount());
}

} // namespace orvane
