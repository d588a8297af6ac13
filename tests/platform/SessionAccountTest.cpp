#include "platform/SessionAccount.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#endif

#include <optional>
#include <string>

using namespace orvane;

namespace {

TAccountAnswer Account(const std::string& ADomain, const std::string& AUser) {
    return {TAccountName{ADomain, AUser}, {}};
}

TAccountAnswer Unknown(const std::string& AReason) {
    return {std::nullopt, AReason};
}

TEST(CompareAccounts, Table) {
    struct TCase {
        const char* Name;
        TAccountAnswer Process;
        TAccountAnswer Session;
        bool Known;
        bool Differs;
        // Known: the two account texts; unknown: a part of the reason.
        std::string ProcessText;
        std::string SessionText;
    };
    const TCase KCases[] = {
        {"same user", Account("PC", "dev"), Account("PC", "dev"), true, false, "PC\\dev",
         "PC\\dev"},
        {"other user", Account("PC", "Administrator"), Account("PC", "dev"), true, true,
         "PC\\Administrator", "PC\\dev"},
        {"same name in another domain", Account("CORP", "dev"), Account("PC", "dev"), true, true,
         "CORP\\dev", "PC\\dev"},
        {"case of the user and the domain", Account("pc", "DEV"), Account("PC", "dev"), true, false,
         "pc\\DEV", "PC\\dev"},
        {"case beyond ASCII", Account("PC", "FRAN\xC3\x87OIS"), Account("PC", "fran\xC3\xA7ois"),
         true, false, "PC\\FRAN\xC3\x87OIS", "PC\\fran\xC3\xA7ois"},
        {"accounts without domains, same", Account("", "dev"), Account("", "dev"), true, false,
         "dev", "dev"},
        {"accounts without domains, other", Account("", "root"), Account("", "dev"), true, true,
         "root", "dev"},
        {"other user, one domain unknown", Account("PC", "Administrator"), Account("", "dev"), true,
         true, "PC\\Administrator", "dev"},
        {"same user, one domain unknown", Account("PC", "dev"), Account("", "dev"), false, false,
         "domain of dev is not known", ""},
        {"process account missing", Unknown("no token"), Account("PC", "dev"), false, false,
         "the installer runs as is not known: no token", ""},
        {"session account missing", Account("PC", "dev"), Unknown("no session"), false, false,
         "signed in to the session is not known: no session", ""},
        {"both missing: the installer's side is named", Unknown("a"), Unknown("b"), false, false,
         "runs as is not known: a", ""},
        {"empty user name", Account("PC", ""), Account("PC", "dev"), false, false,
         "the installer runs as is not known", ""},
    };
    for (const auto& C : KCases) {
        SCOPED_TRACE(C.Name);
        const TSessionAccounts R = CompareAccounts(C.Process, C.Session);
        EXPECT_EQ(R.Known, C.Known);
        EXPECT_EQ(R.Differs, C.Differs);
        if (C.Known) {
            EXPECT_EQ(R.ProcessAccount, C.ProcessText);
            EXPECT_EQ(R.SessionAccount, C.SessionText);
            EXPECT_EQ(R.Reason, "");
        } else {
            EXPECT_NE(R.Reason.find(C.ProcessText), std::string::npos) << R.Reason;
        }
    }
}

#ifndef _WIN32

std::string NameOf(uid_t AUid) {
    const passwd* Entry = getpwuid(AUid);
    return Entry != nullptr ? Entry->pw_name : std::string();
}

// A user of this machine other than the one running the tests.
std::optional<passwd> OtherUser() {
    setpwent();
    std::optional<passwd> Found;
    while (const passwd* Entry = getpwent()) {
        if (Entry->pw_uid != geteuid() && Entry->pw_name != nullptr && *Entry->pw_name != '\0') {
            Found = *Entry;
            break;
        }
    }
    endpwent();
    return Found;
}

// Each case sets SUDO_USER and PKEXEC_UID as sudo or pkexec would and restores
// the variables afterwards.
class SessionAccountPosix : public testing::Test {
protected:
    void SetUp() override {
        for (auto& V : FSaved)
            if (const char* Value = std::getenv(V.Name))
                V.Value = Value;
        Set("SUDO_USER", nullptr);
        Set("PKEXEC_UID", nullptr);
        FSelf = NameOf(geteuid());
        ASSERT_FALSE(FSelf.empty());
    }
    void TearDown() override {
        for (auto& V : FSaved)
            Set(V.Name, V.Value ? V.Value->c_str() : nullptr);
    }
    static void Set(const char* AName, const char* AValue) {
        if (AValue != nullptr)
            setenv(AName, AValue, 1);
        else
            unsetenv(AName);
    }

    struct TSaved {
        const char* Name;
        std::optional<std::string> Value;
    } FSaved[2] = {{"SUDO_USER", {}}, {"PKEXEC_UID", {}}};
    std::string FSelf;
};

TEST_F(SessionAccountPosix, TheProcessIsTheEffectiveUser) {
    const TAccountAnswer Process = QueryProcessAccount();
    ASSERT_TRUE(Process.Account.has_value()) << Process.Reason;
    EXPECT_EQ(Process.Account->User, FSelf);
    EXPECT_EQ(Process.Account->Domain, "");
}

TEST_F(SessionAccountPosix, StartedDirectlyIsTheSameAccount) {
    const TSessionAccounts R = QuerySessionAccounts();
    EXPECT_TRUE(R.Known) << R.Reason;
    EXPECT_FALSE(R.Differs);
    EXPECT_EQ(R.SessionAccount, NameOf(getuid()));
}

TEST_F(SessionAccountPosix, SudoAndPkexec) {
    const auto Other = OtherUser();
    ASSERT_TRUE(Other.has_value()) << "this machine has only one user";
    const std::string OtherUid = std::to_string(Other->pw_uid);
    const std::string OtherName = Other->pw_name;
    const std::string SelfUid = std::to_string(geteuid());
    struct TCase {
        const char* Name;
        const char* SudoUser;
        const char* PkexecUid;
        bool Known;
        bool Differs;
        // Known: the session account; unknown: a part of the reason.
        std::string Expected;
    };
    const TCase KCases[] = {
        {"sudo by another user", "orvane-desk", nullptr, true, true, "orvane-desk"},
        {"sudo by the same user", FSelf.c_str(), nullptr, true, false, FSelf},
        {"pkexec by another user", nullptr, OtherUid.c_str(), true, true, OtherName},
        {"pkexec by the same user", nullptr, SelfUid.c_str(), true, false, FSelf},
        {"empty SUDO_USER is ignored", "", OtherUid.c_str(), true, true, OtherName},
        {"sudo is asked before pkexec", "orvane-desk", OtherUid.c_str(), true, true, "orvane-desk"},
        {"pkexec uid that is no number", nullptr, "12ab", false, false,
         "PKEXEC_UID \"12ab\" is not a user id"},
        {"negative pkexec uid", nullptr, "-1", false, false, "is not a user id"},
        {"pkexec uid without an account", nullptr, "3999999999", false, false,
         "no account has the user id 3999999999"},
    };
    for (const auto& C : KCases) {
        SCOPED_TRACE(C.Name);
        Set("SUDO_USER", C.SudoUser);
        Set("PKEXEC_UID", C.PkexecUid);
        const TSessionAccounts R = QuerySessionAccounts();
        EXPECT_EQ(R.Known, C.Known) << R.Reason;
        EXPECT_EQ(R.Differs, C.Differs);
        if (C.Known) {
            EXPECT_EQ(R.SessionAccount, C.Expected);
            EXPECT_EQ(R.ProcessAccount, FSelf);
        } else {
            EXPECT_NE(R.Reason.find(C.Expected), std::string::npos) << R.Reason;
        }
    }
}

#endif

} // namespace
