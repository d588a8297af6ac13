#include "platform/SessionAccount.h"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

namespace orvane {

namespace {

TAccountAnswer AccountOfUid(uid_t AUid) {
    long Size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> Buffer(Size > 0 ? static_cast<std::size_t>(Size) : 16384);
    passwd Entry{};
    passwd* Found = nullptr;
    int Rc = 0;
    while ((Rc = getpwuid_r(AUid, &Entry, Buffer.data(), Buffer.size(), &Found)) == ERANGE)
        Buffer.resize(Buffer.size() * 2);
    if (Found == nullptr || Found->pw_name == nullptr || *Found->pw_name == '\0')
        return {std::nullopt, "no account has the user id " + std::to_string(AUid)};
    return {TAccountName{{}, Found->pw_name}, {}};
}

const char* Environment(const char* AName) {
    const char* Value = std::getenv(AName);
    return Value != nullptr && *Value != '\0' ? Value : nullptr;
}

} // namespace

TAccountAnswer QueryProcessAccount() {
    return AccountOfUid(geteuid());
}

TAccountAnswer QuerySessionAccount() {
    // sudo and pkexec both leave the name of the user who asked behind.
    if (const char* SudoUser = Environment("SUDO_USER"))
        return {TAccountName{{}, SudoUser}, {}};
    if (const char* PkexecUid = Environment("PKEXEC_UID")) {
        char* End = nullptr;
        errno = 0;
        const unsigned long long Uid = std::strtoull(PkexecUid, &End, 10);
        if (errno != 0 || *End != '\0' || *PkexecUid == '-' || *PkexecUid == '+' ||
            Uid != static_cast<uid_t>(Uid))
            return {std::nullopt, std::string("PKEXEC_UID \"") + PkexecUid + "\" is not a user id"};
        return AccountOfUid(static_cast<uid_t>(Uid));
    }
    return AccountOfUid(getuid());
}

} // namespace orvane
