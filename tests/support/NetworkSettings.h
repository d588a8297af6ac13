#pragma once

#include "server/HttpClient.h"
#include "support/ScopedEnv.h"

#include <cstdlib>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// Sends http and https requests through AProxyUrl, also those for 127.0.0.1
// (no exceptions from no_proxy).
inline void UseProxy(TScopedEnv& AEnv, const std::string& AProxyUrl) {
    for (const char* LName : {"no_proxy", "NO_PROXY", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"}) {
        AEnv.Unset(LName);
    }
    AEnv.Set("http_proxy", AProxyUrl);
    AEnv.Set("https_proxy", AProxyUrl);
}

// The HTTP client's limits and test CA for one scope.
class TScopedHttpSettings {
public:
    TScopedHttpSettings()
        : FLimits(orvane::THttpClient::Limits()), FCaFile(orvane::THttpClient::TestCaFile()) {}
    TScopedHttpSettings(const TScopedHttpSettings&) = delete;
    TScopedHttpSettings& operator=(const TScopedHttpSettings&) = delete;
    ~TScopedHttpSettings() {
        orvane::THttpClient::SetLimits(FLimits);
        orvane::THttpClient::SetTestCaFile(FCaFile);
    }

    TScopedHttpSettings& Limits(std::chrono::milliseconds AConnect,
                                std::chrono::milliseconds AStall) {
        orvane::THttpClient::SetLimits({AConnect, AStall});
        return *this;
    }
    TScopedHttpSettings& TestCa(const std::string& APemFile) {
        orvane::THttpClient::SetTestCaFile(APemFile);
        return *this;
    }

private:
    orvane::THttpLimits FLimits;
    std::string FCaFile;
};
