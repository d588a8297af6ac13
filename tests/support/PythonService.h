#pragma once

#include <filesystem>
#include <string>
#include <vector>

// A Python script of the project run as a local service: it prints "PORT <n>"
// on its first line once it listens; its stderr goes to ALog. Stopped at the
// end of the object's life.
class TPythonService {
public:
    TPythonService(const std::filesystem::path& AScript, const std::vector<std::string>& AArgs,
                   const std::filesystem::path& ALog);
    ~TPythonService();
    TPythonService(const TPythonService&) = delete;
    TPythonService& operator=(const TPythonService&) = delete;

    int Port() const { return FPort; }

private:
    int FPid = -1;
    int FPort = 0;
};

// Runs a shell command; throws when it fails.
void RunOrThrow(const std::string& ACommand);
// A path quoted for the shell.
std::string ShellQuote(const std::filesystem::path& APath);
