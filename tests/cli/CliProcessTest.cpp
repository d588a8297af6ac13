// The real orvane-install binary as a process: arguments and output outside
// ASCII pass unchanged, and the exit codes reach the shell.
#include "registry/ProductRecords.h"
#include "registry/RegistryStore.h"
#include "support/FileText.h"
#include "support/LocalApiServer.h"
#include "support/PythonService.h"
#include "support/TempDir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>

using namespace orvane;
using testing::HasSubstr;

namespace {

struct TProcessRun {
    int Exit = -1;
    std::string Out;
    std::string Err;
};

class CliProcessTest : public testing::Test {
protected:
    // The program with a sandboxed home, so it opens the registry store there.
    TProcessRun Run(const std::vector<std::string>& AArgs) const {
        std::string LCommand = "env HOME=" + ShellQuote(FTemp.Path()) +
                               " XDG_DATA_HOME=" + ShellQuote(FTemp.Path() / "data") + " " +
                               ShellQuote(ORVANE_INSTALL_PROGRAM);
        for (const std::string& LArg : AArgs) {
            LCommand += " " + ShellQuote(LArg);
        }
        LCommand += " </dev/null 2>" + ShellQuote(FTemp.Path() / "stderr.txt");
        TProcessRun LRun;
        FILE* LPipe = popen(LCommand.c_str(), "r");
        if (!LPipe) {
            return LRun;
        }
        char LBuffer[4096];
        std::size_t LRead = 0;
        while ((LRead = fread(LBuffer, 1, sizeof LBuffer, LPipe)) > 0) {
            LRun.Out.append(LBuffer, LRead);
        }
        const int LStatus = pclose(LPipe);
        LRun.Exit = WIFEXITED(LStatus) ? WEXITSTATUS(LStatus) : -1;
        LRun.Err = ReadFileText(FTemp.Path() / "stderr.txt");
        return LRun;
    }

    TTempDir FTemp;
};

TEST_F(CliProcessTest, NonAsciiTextAndExitCodes) {
    const std::string LName = "Orvane f\xc3\xbcr 23.0 \xe6\x97\xa5\xe6\x9c\xac";
    auto LServer = std::make_unique<TLocalApiServer>();
    LServer->WriteConfig("dev", R"({"ide": [{"name": ")" + LName +
                                    R"(", "version": "23.0", "file": "o_1.4.zip"}]})");

    const TProcessRun LList =
        Run({"list", "--edition", "developer", "--server", LServer->BaseUrl()});
    EXPECT_EQ(LList.Exit, 0) << LList.Err;
    EXPECT_EQ(LList.Out, "23.0\t" + LName + "\t1.4\n");

    // A record written by the window, with a folder outside ASCII.
    {
        auto LStore = OpenSqliteRegistryStore(FTemp.Path() / "data" / "orvane" / "registry.sqlite");
        WriteRegistryData(*LStore, {"23.0", "1.4", "2026-12-02 11:30:00", "DEVELOPER", "DEVELOPER",
                                    "/home/Jos\xc3\xa9/Orvane/23.0/"});
    }
    const TProcessRun LStatus = Run({"status"});
    EXPECT_EQ(LStatus.Exit, 0) << LStatus.Err;
    EXPECT_EQ(LStatus.Out,
              "23.0\t1.4\tDEVELOPER\t2026-12-02 11:30:00\t/home/Jos\xc3\xa9/Orvane/23.0/\n");

    const TProcessRun LUsage = Run({"list", "--edition", "d\xc3\xa9veloppeur"});
    EXPECT_EQ(LUsage.Exit, 2);
    EXPECT_THAT(LUsage.Err, HasSubstr("not \"d\xc3\xa9veloppeur\""));

    const int LPort = LServer->Port();
    LServer.reset();
    const TProcessRun LGone = Run({"list", "--edition", "developer", "--server",
                                   "http://127.0.0.1:" + std::to_string(LPort)});
    EXPECT_EQ(LGone.Exit, 3) << LGone.Err;
}

} // namespace
