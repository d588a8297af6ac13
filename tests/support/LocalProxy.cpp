#include "support/LocalProxy.h"

#include "support/LocalApiServer.h"
#include "support/PythonService.h"

#include <fstream>

TLocalProxy::TLocalProxy(TMode AMode) {
    std::vector<std::string> LArgs = {"--log", (FDir / "requests.log").string()};
    if (AMode == pmRefuse) {
        LArgs.push_back("--refuse");
    } else if (AMode == pmAskWindows) {
        LArgs.insert(LArgs.end(), {"--ask-sign-in", "Negotiate,NTLM"});
    } else if (AMode == pmAskPassword) {
        LArgs.insert(LArgs.end(), {"--ask-sign-in", "Basic"});
    }
    FService = std::make_unique<TPythonService>(TLocalApiServer::SourceDir() / "tests" / "support" /
                                                    "connect_proxy.py",
                                                LArgs, FDir / "proxy.log");
}

TLocalProxy::~TLocalProxy() = default;

int TLocalProxy::Port() const {
    return FService->Port();
}

std::string TLocalProxy::Url() const {
    return "http://127.0.0.1:" + std::to_string(Port());
}

std::vector<std::string> TLocalProxy::Requests() const {
    std::vector<std::string> Result;
    std::ifstream LLog(FDir / "requests.log");
    for (std::string LLine; std::getline(LLog, LLine);) {
        Result.push_back(LLine);
    }
    return Result;
}
