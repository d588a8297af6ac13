#pragma once

#include "server/HttpClient.h"
#include "server/Protocol.h"

#ifndef _WIN32
#include "support/LocalApiServer.h"
#endif

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

// The server the contract runs against. Under Wine the test cannot start a
// Linux process, so scripts/test-windows starts tools/api_server.py and names
// it in ORVANE_TEST_API_URL and ORVANE_TEST_API_ROOT (its folder, as a Win32
// path); natively the suite starts one of its own unless those are set.
// Several test processes may share one server: each test uses names and fault
// prefixes of its own and never clears the server.
class TContractServer {
public:
    static TContractServer& Get() {
        static TContractServer LServer;
        return LServer;
    }

    const std::string& BaseUrl() const { return FBaseUrl; }

    void WriteFile(const std::string& AName, const std::string& ABytes) const {
        const auto LPath = FRoot / "files" / AName;
        std::ofstream(LPath, std::ios::binary) << ABytes;
    }
    // ASize bytes without writing them: a sparse file.
    void MakeSizedFile(const std::string& AName, std::uintmax_t ASize) const {
        const auto LPath = FRoot / "files" / AName;
        std::ofstream(LPath, std::ios::binary).close();
        std::filesystem::resize_file(LPath, ASize);
    }
    // See tools/api_server.py: ADelayMs between the blocks of "slow" and the
    // pieces of "trickle", AHoldMs of silence of "stall" and "accept-silent",
    // ASize bytes of "huge" or sent at once by "trickle", ALength the
    // Content-Length text of "length".
    void SetFault(const std::string& AKind, const std::string& APrefix, int ACode = 500,
                  int ADelayMs = 50, int AHoldMs = 30000, std::uint64_t ASize = 0,
                  const std::string& ALength = "") const {
        orvane::THttpClient LClient;
        LClient.GetText(FBaseUrl + "/control/fault?kind=" + AKind +
                            "&prefix=" + orvane::PercentEncodeQueryValue(APrefix) +
                            "&count=-1&code=" + std::to_string(ACode) +
                            "&delay=" + std::to_string(ADelayMs) +
                            "&hold=" + std::to_string(AHoldMs) + "&size=" + std::to_string(ASize) +
                            "&length=" + orvane::PercentEncodeQueryValue(ALength),
                        std::size_t{1} << 20);
    }
    std::string FileUrl(const std::string& AName) const {
        orvane::THttpClient LClient;
        const std::string LToken =
            orvane::ReadTokenAnswer(LClient.GetText(FBaseUrl + "/token/", std::size_t{1} << 20));
        return orvane::RequestUrl("file/" + AName, FBaseUrl, LToken);
    }
    std::vector<std::string> Requests() const {
        orvane::THttpClient LClient;
        const auto LDocument = orvane::ParseAnswer(
            LClient.GetText(FBaseUrl + "/control/requests", std::size_t{1} << 20));
        std::vector<std::string> Result;
        if (LDocument && LDocument->IsObject() && LDocument->HasMember("requests")) {
            for (const auto& LItem : (*LDocument)["requests"].GetArray()) {
                Result.emplace_back(LItem.GetString(), LItem.GetStringLength());
            }
        }
        return Result;
    }

private:
    TContractServer() {
        const char* LUrl = std::getenv("ORVANE_TEST_API_URL");
        const char* LRoot = std::getenv("ORVANE_TEST_API_ROOT");
        if (LUrl && LRoot) {
            FBaseUrl = LUrl;
            FRoot = LRoot;
            return;
        }
#ifdef _WIN32
        throw std::runtime_error("ORVANE_TEST_API_URL and ORVANE_TEST_API_ROOT are not set: run "
                                 "the Windows tests through scripts/test-windows");
#else
        FOwn = std::make_unique<TLocalApiServer>();
        FBaseUrl = FOwn->BaseUrl();
        FRoot = FOwn->Root();
#endif
    }

    std::string FBaseUrl;
    std::filesystem::path FRoot;
#ifndef _WIN32
    std::unique_ptr<TLocalApiServer> FOwn;
#endif
};

// Shortens the process-wide limits for one test.
class TLimitsGuard {
public:
    explicit TLimitsGuard(const orvane::THttpLimits& ALimits)
        : FSaved(orvane::THttpClient::Limits()) {
        orvane::THttpClient::SetLimits(ALimits);
    }
    ~TLimitsGuard() { orvane::THttpClient::SetLimits(FSaved); }
    TLimitsGuard(const TLimitsGuard&) = delete;
    TLimitsGuard& operator=(const TLimitsGuard&) = delete;

private:
    orvane::THttpLimits FSaved;
};
