// The real orvane-install binary as a process: arguments and output outside
// ASCII pass unchanged, and the exit codes reach the shell.
#include "registry/ProductRecords.h"
#include "registry/RegistryStore.h"
#include "support/FileText.h"
#include "support/LocalApiServer.h"
#include "support/ProgramRun.h"
#include "support/PythonService.h"
#include "support/TempDir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using namespace orvane;
using testing::HasSubstr;

namespace {

class CliProcessTest : public testing::Test {
protected:
    // The program with a sandboxed home, so it opens the registry store there.
    TProgramRun Run(const std::vector<std::string>& AArgs) const {
        std::string LCommand = "env HOME=" + ShellQuote(FTemp.Path()) +
                               " XDG_DATA_HOME=" + ShellQuote(FTemp.Path() / "data") + " " +
                               ShellQuote(ORVANE_INSTALL_PROGRAM);
        for (const std::string& LArg : AArgs) {
            LCommand += " " + ShellQuote(LArg);
        }
        return RunProgram(LCommand + " </dev/null", FTemp.Path() / "stderr.txt");
    }

    TTempDir FTemp;
};

TEST_F(CliProcessTest, NonAsciiTextAndExitCodes) {
    const std::string LName = "Orvane f\xc3\xbcr 23.0 \xe6\x97\xa5\xe6\x9c\xac";
    auto LServer = std::make_unique<TLocalApiServer>();
    LServer->WriteConfig("dev", R"({"ide": [{"name": ")" + LName +
                                    R"(", "version": "23.0", "file": "o_1.4.zip"}]})");

    const TProgramRun LList =
        Run({"list", "--edition", "developer", "--server", LServer->BaseUrl()});
    EXPECT_EQ(LList.Exit, 0) << LList.Err;
    EXPECT_EQ(LList.Out, "23.0\t" + LName + "\t1.4\n");

    // A record written by the window, with a folder outside ASCII.
    {
        auto LStore = OpenSqliteRegistryStore(FTemp.Path() / "data" / "orvane" / "registry.sqlite");
        WriteRegistryData(*LStore, {"23.0", "1.4", "2026-12-02 11:30:00", "DEVELOPER", "DEVELOPER",
                                    "/home/Jos\xc3\xa9/Orvane/23.0/"});
    }
    const TProgramRun LStatus = Run({"status"});
    EXPECT_EQ(LStatus.Exit, 0) << LStatus.Err;
    EXPECT_EQ(LStatus.Out,
              "23.0\t1.4\tDEVELOPER\t2026-12-02 11:30:00\t/home/Jos\xc3\xa9/Orvane/23.0/\n");

    const TProgramRun LUsage = Run({"list", "--edition", "d\xc3\xa9veloppeur"});
    EXPECT_EQ(LUsage.Exit, 2);
    EXPECT_THAT(LUsage.Err, HasSubstr("not \"d\xc3\xa9veloppeur\""));

    const int LPort = LServer->Port();
    LServer.reset();
    const TProgramRun LGone = Run({"list", "--edition", "developer", "--server",
                                   "http://127.0.0.1:" + std::to_string(LPort)});
    EXPECT_EQ(LGone.Exit, 3) << LGone.Err;
}

} // namespace
