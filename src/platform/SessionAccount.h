#pragma once

#include <optional>
#include <string>

namespace orvane {

// An account as Windows names it, "DOMAIN\user"; the domain is empty where
// accounts have none.
struct TAccountName {
    std::string Domain;
    std::string User;
};

// "DOMAIN\user", or "user" without a domain.
std::string AccountText(const TAccountName& AAccount);

// One side of the question: the account, or why it could not be found.
struct TAccountAnswer {
    std::optional<TAccountName> Account;
    std::string Reason;
};

// Whether the installer runs under another account than the one signed in to
// the desktop session (an elevation prompt answered with an administrator's
// name and password). Differs is meaningful only when Known; Reason says why
// the question could not be answered.
struct TSessionAccounts {
    bool Known = false;
    std::string Reason;
    std::string ProcessAccount;
    std::string SessionAccount;
    bool Differs = false;
};

// Compares the two accounts by name and domain without regard to case. A side
// that is missing, or has no user name, leaves the question open; so does the
// same user name where only one side knows its domain.
TSessionAccounts CompareAccounts(const TAccountAnswer& AProcess, const TAccountAnswer& ASession);

// The account this process runs as. Windows: the user of the process token;
// elsewhere: the effective user.
TAccountAnswer QueryProcessAccount();
// The account signed in to the desktop session. Windows: the user of the
// current terminal-services session, else the owner of the shell process;
// elsewhere: the user who ran sudo (SUDO_USER) or pkexec (PKEXEC_UID), else the
// real user.
TAccountAnswer QuerySessionAccount();

// CompareAccounts(QueryProcessAccount(), QuerySessionAccount()).
TSessionAccounts QuerySessionAccounts();

} // namespace orvane
