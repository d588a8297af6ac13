#include "cli/CliOptions.h"

#include "platform/FileNames.h"

#include <algorithm>
#include <initializer_list>

namespace orvane::cli {

const char* CommandName(TCommand ACommand) {
    switch (ACommand) {
    case cmList:
        return "list";
    case cmInstall:
        return "install";
    case cmUninstall:
        return "uninstall";
    case cmStatus:
        return "status";
    case cmVerify:
        return "verify";
    case cmRepair:
        return "repair";
    case cmDownload:
        return "download";
    case cmRecover:
        return "recover";
    case cmNone:
        break;
    }
    return "";
}

namespace {

// Which flags each command takes besides the common ones.
bool CommandTakes(TCommand ACommand, const std::string& AFlag) {
    const auto LIn = [&AFlag](std::initializer_list<const char*> AFlags) {
        return std::any_of(AFlags.begin(), AFlags.end(),
                           [&AFlag](const char* AName) { return AFlag == AName; });
    };
    switch (ACommand) {
    case cmList:
        return LIn({"--edition", "--user", "--password-stdin", "--json", "--from", "--proxy",
                    "--no-proxy"});
    case cmInstall:
        return LIn({"--edition", "--user", "--password-stdin", "--accept-terms", "--versions",
                    "--all", "--ide-dir", "--download-dir", "--getit", "--ide-running",
                    "--existing-zip", "--installed", "--json", "--non-interactive", "--wait-lock",
                    "--from", "--dry-run", "--proxy", "--no-proxy"});
    case cmDownload:
        return LIn({"--edition", "--user", "--password-stdin", "--versions", "--all", "--to",
                    "--json", "--proxy", "--no-proxy"});
    case cmUninstall:
        return LIn({"--versions", "--all", "--getit", "--ide-running", "--json",
                    "--non-interactive", "--wait-lock", "--remove-files", "--dry-run"});
    case cmVerify:
        return LIn({"--versions", "--json", "--wait-lock"});
    case cmRepair:
        return LIn({"--versions", "--remove-conflicts", "--edition", "--user", "--password-stdin",
                    "--json", "--wait-lock"});
    case cmStatus:
        return LIn({"--json"});
    case cmRecover:
        return LIn({"--json", "--wait-lock"});
    case cmNone:
        break;
    }
    return false;
}

bool TakesValue(const std::string& AFlag) {
    return AFlag == "--edition" || AFlag == "--user" || AFlag == "--versions" ||
           AFlag == "--ide-dir" || AFlag == "--download-dir" || AFlag == "--getit" ||
           AFlag == "--ide-running" || AFlag == "--existing-zip" || AFlag == "--installed" ||
           AFlag == "--server" || AFlag == "--wait-lock" || AFlag == "--log-file" ||
           AFlag == "--to" || AFlag == "--from" || AFlag == "--proxy";
}

// Flags every command takes.
bool IsCommon(const std::string& AFlag) {
    return AFlag == "--server" || AFlag == "--log-file";
}

bool IsKnownFlag(const std::string& AFlag) {
    return TakesValue(AFlag) || AFlag == "--password-stdin" || AFlag == "--accept-terms" ||
           AFlag == "--all" || AFlag == "--help" || AFlag == "--version" || AFlag == "--json" ||
           AFlag == "--non-interactive" || AFlag == "--remove-files" ||
           AFlag == "--remove-conflicts" || AFlag == "--dry-run" || AFlag == "--no-proxy";
}

// One of two words; the first means true.
bool Choice(const std::string& AFlag, const std::string& AValue, const char* AYes,
            const char* ANo) {
    if (AValue == AYes) {
        return true;
    }
    if (AValue == ANo) {
        return false;
    }
    throw EUsage(AFlag + " takes " + AYes + " or " + ANo + ", not \"" + AValue + "\"");
}

// A whole number of seconds, up to a day.
int Seconds(const std::string& AFlag, const std::string& AValue) {
    const bool LDigits = !AValue.empty() && AValue.size() <= 5 &&
                         std::all_of(AValue.begin(), AValue.end(),
                                     [](char AChar) { return AChar >= '0' && AChar <= '9'; });
    if (!LDigits || std::stoi(AValue) > 86400) {
        throw EUsage(AFlag + " takes a number of seconds up to 86400, not \"" + AValue + "\"");
    }
    return std::stoi(AValue);
}

std::vector<std::string> VersionList(const std::string& AValue) {
    std::vector<std::string> LVersions;
    std::string::size_type LStart = 0;
    for (;;) {
        const auto LComma = AValue.find(',', LStart);
        const std::string LItem = AValue.substr(
            LStart, LComma == std::string::npos ? std::string::npos : LComma - LStart);
        if (!IsIdeVersionText(LItem)) {
            throw EUsage("--versions takes IDE versions such as 23.0,22.0; \"" + LItem +
                         "\" is none");
        }
        if (std::find(LVersions.begin(), LVersions.end(), LItem) == LVersions.end()) {
            LVersions.push_back(LItem);
        }
        if (LComma == std::string::npos) {
            return LVersions;
        }
        LStart = LComma + 1;
    }
}

void Apply(TCliOptions& AOptions, const std::string& AFlag, const std::string& AValue) {
    if (AFlag == "--edition") {
        AOptions.Edition =
            Choice(AFlag, AValue, "developer", "commercial") ? imDeveloper : imCommercial;
    } else if (AFlag == "--user") {
        AOptions.User = AValue;
    } else if (AFlag == "--versions") {
        AOptions.Versions = VersionList(AValue);
    } else if (AFlag == "--ide-dir") {
        AOptions.IdeDir = AValue;
    } else if (AFlag == "--download-dir") {
        AOptions.DownloadDir = AValue;
    } else if (AFlag == "--getit") {
        AOptions.RemoveGetIt = Choice(AFlag, AValue, "remove", "keep");
    } else if (AFlag == "--ide-running") {
        AOptions.ContinueIdeRunning = Choice(AFlag, AValue, "continue", "stop");
    } else if (AFlag == "--existing-zip") {
        AOptions.DownloadAgain = Choice(AFlag, AValue, "download", "use");
    } else if (AFlag == "--installed") {
        AOptions.Reinstall = Choice(AFlag, AValue, "reinstall", "skip");
    } else if (AFlag == "--server") {
        AOptions.Server = AValue;
    } else if (AFlag == "--to") {
        AOptions.To = AValue;
    } else if (AFlag == "--from") {
        AOptions.From = AValue;
    } else if (AFlag == "--log-file") {
        if (AValue.empty()) {
            throw EUsage("--log-file needs a file name");
        }
        AOptions.LogFile = AValue;
    } else if (AFlag == "--wait-lock") {
        AOptions.WaitLock = Seconds(AFlag, AValue);
    } else if (AFlag == "--json") {
        AOptions.Json = true;
    } else if (AFlag == "--non-interactive") {
        AOptions.NonInteractive = true;
    } else if (AFlag == "--password-stdin") {
        AOptions.PasswordStdin = true;
    } else if (AFlag == "--accept-terms") {
        AOptions.AcceptTerms = true;
    } else if (AFlag == "--all") {
        AOptions.All = true;
    } else if (AFlag == "--remove-files") {
        AOptions.RemoveFiles = true;
    } else if (AFlag == "--proxy") {
        // host:port, with http:// or without: both clients take that much.
        const std::string LHost = AValue.rfind("http://", 0) == 0 ? AValue.substr(7) : AValue;
        const auto LColon = LHost.rfind(':');
        const bool LPort =
            LColon != std::string::npos && LColon > 0 && LColon + 1 < LHost.size() &&
            LHost.size() - LColon <= 6 &&
            std::all_of(LHost.begin() + static_cast<std::ptrdiff_t>(LColon) + 1, LHost.end(),
                        [](char AChar) { return AChar >= '0' && AChar <= '9'; });
        const bool LPlain = std::none_of(LHost.begin(), LHost.end(), [](char AChar) {
            return static_cast<unsigned char>(AChar) <= ' ' || AChar == '/' || AChar == '@';
        });
        if (!LPort || !LPlain) {
            throw EUsage("--proxy takes http://host:port, not \"" + AValue + "\"");
        }
        AOptions.Proxy = AValue;
    } else if (AFlag == "--no-proxy") {
        AOptions.NoProxy = true;
    } else if (AFlag == "--dry-run") {
        AOptions.DryRun = true;
    } else if (AFlag == "--remove-conflicts") {
        AOptions.RemoveConflicts = true;
    } else if (AFlag == "--help") {
        AOptions.Help = true;
    } else if (AFlag == "--version") {
        AOptions.ShowVersion = true;
    }
}

void RequireComplete(const TCliOptions& AOptions) {
    const TCommand LCommand = AOptions.Command;
    if (AOptions.From && (AOptions.User || AOptions.PasswordStdin)) {
        throw EUsage("--from installs without signing in: --user and --password-stdin do not "
                     "go with it");
    }
    if (LCommand == cmDownload && !AOptions.To) {
        throw EUsage("download needs the bundle's folder: --to DIR");
    }
    if ((LCommand == cmList || LCommand == cmInstall || LCommand == cmDownload) &&
        !AOptions.Edition && !AOptions.From) {
        throw EUsage(std::string(CommandName(LCommand)) +
                     " needs --edition developer or --edition commercial");
    }
    if (AOptions.Edition == imDeveloper && (AOptions.User || AOptions.PasswordStdin)) {
        throw EUsage("--user and --password-stdin belong to --edition commercial; the developer "
                     "edition signs in without them");
    }
    if (AOptions.Proxy && AOptions.NoProxy) {
        throw EUsage("give either --proxy or --no-proxy, not both");
    }
    if (LCommand == cmInstall || LCommand == cmUninstall || LCommand == cmDownload) {
        if (AOptions.All && !AOptions.Versions.empty()) {
            throw EUsage("give either --versions or --all, not both");
        }
        if (!AOptions.All && AOptions.Versions.empty()) {
            throw EUsage(std::string(CommandName(LCommand)) +
                         " needs the IDE versions: --versions 23.0,22.0 or --all");
        }
    }
}

} // namespace

TCliOptions ParseCliArguments(const std::vector<std::string>& AArgs) {
    TCliOptions LOptions;
    std::vector<std::pair<std::string, std::string>> LFlags;
    for (std::size_t LIndex = 0; LIndex < AArgs.size(); ++LIndex) {
        const std::string& LArg = AArgs[LIndex];
        if (LArg.rfind("-", 0) != 0) {
            if (LOptions.Command != cmNone) {
                throw EUsage("unexpected argument \"" + LArg + "\"");
            }
            if (LArg == "list") {
                LOptions.Command = cmList;
            } else if (LArg == "install") {
                LOptions.Command = cmInstall;
            } else if (LArg == "uninstall") {
                LOptions.Command = cmUninstall;
            } else if (LArg == "status") {
                LOptions.Command = cmStatus;
            } else if (LArg == "verify") {
                LOptions.Command = cmVerify;
            } else if (LArg == "repair") {
                LOptions.Command = cmRepair;
            } else if (LArg == "download") {
                LOptions.Command = cmDownload;
            } else if (LArg == "recover") {
                LOptions.Command = cmRecover;
            } else {
                throw EUsage("unknown command \"" + LArg +
                             "\"; the commands are list, install, uninstall, status, verify, "
                             "repair, download and recover");
            }
            continue;
        }
        std::string LFlag = LArg;
        std::optional<std::string> LValue;
        if (LArg == "-h" || LArg == "-V") {
            LFlag = LArg == "-h" ? "--help" : "--version";
        } else if (LArg.rfind("-", 0) == 0 && LArg.rfind("--", 0) != 0) {
            throw EUsage("unknown option " + LArg);
        }
        if (const auto LEquals = LArg.find('='); LEquals != std::string::npos) {
            LFlag = LArg.substr(0, LEquals);
            LValue = LArg.substr(LEquals + 1);
        }
        if (LFlag == "--password") {
            throw EUsage("the password is never taken from the command line: use "
                         "--password-stdin or type it when asked");
        }
        if (!IsKnownFlag(LFlag)) {
            throw EUsage("unknown option " + LFlag);
        }
        if (TakesValue(LFlag)) {
            if (!LValue) {
                if (LIndex + 1 >= AArgs.size()) {
                    throw EUsage(LFlag + " needs a value");
                }
                LValue = AArgs[++LIndex];
            }
        } else if (LValue) {
            throw EUsage(LFlag + " takes no value");
        }
        // A second value would silently win over the first: say which one is meant.
        if (std::any_of(LFlags.begin(), LFlags.end(),
                        [&LFlag](const auto& AFlag) { return AFlag.first == LFlag; })) {
            throw EUsage(LFlag + " is given twice; give it once");
        }
        LFlags.emplace_back(LFlag, LValue.value_or(""));
    }
    for (const auto& [LFlag, LValue] : LFlags) {
        Apply(LOptions, LFlag, LValue);
    }
    if (LOptions.Help || LOptions.ShowVersion) {
        return LOptions;
    }
    if (LOptions.Command == cmNone) {
        throw EUsage("no command given; the commands are list, install, uninstall, status, verify, "
                     "repair and download");
    }
    for (const auto& [LFlag, LValue] : LFlags) {
        if (!IsCommon(LFlag) && !CommandTakes(LOptions.Command, LFlag)) {
            throw EUsage(std::string(CommandName(LOptions.Command)) + " does not take " + LFlag);
        }
    }
    RequireComplete(LOptions);
    return LOptions;
}

std::string UsageText(const std::string& AApiUrl) {
    return "Usage:\n"
           "  orvane-install list      --edition developer|commercial [--user NAME] "
           "[--password-stdin] [--json]\n"
           "                           [--proxy http://HOST:PORT | --no-proxy]\n"
           "  orvane-install install   --edition developer|commercial [--user NAME] "
           "[--password-stdin]\n"
           "                           --accept-terms (--versions 23.0,22.0 | --all)\n"
           "                           [--ide-dir DIR] [--download-dir DIR]\n"
           "                           [--getit remove|keep] [--ide-running continue|stop]\n"
           "                           [--existing-zip download|use] [--installed reinstall|skip]\n"
           "                           [--non-interactive] [--wait-lock SECONDS] [--json] "
           "[--dry-run]\n"
           "  orvane-install uninstall (--versions 23.0,22.0 | --all) [--getit remove|keep]\n"
           "                           [--ide-running continue|stop] [--non-interactive]\n"
           "                           [--wait-lock SECONDS] [--json] [--remove-files] "
           "[--dry-run]\n"
           "  orvane-install verify    [--versions 23.0,22.0] [--wait-lock SECONDS] [--json]\n"
           "  orvane-install repair    [--versions 23.0,22.0] [--remove-conflicts]\n"
           "                           [--edition developer|commercial [--user NAME]\n"
           "                           [--password-stdin]] [--wait-lock SECONDS] [--json]\n"
           "  orvane-install status    [--json]\n"
           "  orvane-install recover   [--wait-lock SECONDS] [--json]\n"
           "  orvane-install download  --edition developer|commercial [--user NAME] "
           "[--password-stdin]\n"
           "                           (--versions 23.0,22.0 | --all) --to DIR [--json]\n"
           "                           [--proxy http://HOST:PORT | --no-proxy]\n"
           "  install and list also take --from DIR|URL: a bundle made by download, in a "
           "folder or on a web\n"
           "  server, used without signing in (the edition is the bundle's).\n"
           "Common: --server URL, --log-file PATH, -h/--help, -V/--version\n"
           "\n"
           "Server: " +
           AApiUrl +
           " unless --server names another.\n"
           "Log: install.log beside this program, else in the user's local application data\n"
           "(the first line on standard error says where), or --log-file PATH.\n"
           "\n"
           "The commercial edition's password comes from standard input with "
           "--password-stdin, or is asked\n"
           "for on a terminal. Every question the run will ask is checked before anything "
           "changes: without\n"
           "its flag it is asked on a terminal (never with --non-interactive); elsewhere the "
           "command refuses\nand names the flags.\n"
           "One install or uninstall runs per registry store at a time; --wait-lock waits for "
           "the other.\n"
           "--proxy sends every request through that proxy, --no-proxy straight to the server; "
           "without\neither the user's proxy settings apply.\n"
           "--dry-run prints what install or uninstall would do and changes nothing: it takes "
           "no lock,\nwrites no log and downloads nothing.\n"
           "Exit codes: 0 every version installed or skipped as asked; 1 some version failed; 2 "
           "usage error\nor refused before anything changed; 3 server unreachable or sign-in "
           "refused, nothing changed\n(also when no version's download could connect to it; a "
           "download that fails any other\nway is that version's failure: 1); 130 stopped "
           "(Ctrl-C, SIGTERM, console closed).\n"
           "\n"
           "Full reference: docs/console.md\n";
}

} // namespace orvane::cli
