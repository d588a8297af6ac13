#include "support/LocalApiServer.h"

#include "server/HttpClient.h"
#include "server/Protocol.h"

#include "support/PythonService.h"

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <stdexcept>

std::filesystem::path TLocalApiServer::SourceDir() {
    if (const char* LDir = std::getenv("ORVANE_SOURCE_DIR")) {
        return LDir;
    }
    return ORVANE_TEST_SOURCE_DIR;
}

TLocalApiServer::TLocalApiServer() : TLocalApiServer(TOptions{}) {}

std::unique_ptr<TLocalApiServer>
TLocalApiServer::WithCertificate(const std::filesystem::path& ACertFile,
                                 const std::filesystem::path& AKeyFile) {
    TOptions LOptions;
    LOptions.Tls = true;
    LOptions.CertFile = ACertFile;
    LOptions.KeyFile = AKeyFile;
    return std::make_unique<TLocalApiServer>(LOptions);
}

TLocalApiServer::TLocalApiServer(const TOptions& AOptions) : FTls(AOptions.Tls) {
    std::string LTemplate = (std::filesystem::temp_directory_path() / "orvane-api-XXXXXX").string();
    if (!mkdtemp(LTemplate.data())) {
        throw std::runtime_error("cannot create a temp folder");
    }
    FRoot = LTemplate;
    std::filesystem::create_directories(FRoot / "config");
    std::filesystem::create_directories(FRoot / "files");
    const auto LTools = SourceDir() / "tools";
    if (AOptions.SamplePackages) {
        RunOrThrow("python3 " + ShellQuote(LTools / "make_sample_packages.py") + " --out " +
                   ShellQuote(FRoot));
    }
    std::vector<std::string> LArgs = {"--root", FRoot.string(), "--port", "0"};
    if (!AOptions.AccountsJson.empty()) {
        std::ofstream(FRoot / "accounts.json") << AOptions.AccountsJson;
        LArgs.push_back("--accounts");
        LArgs.push_back((FRoot / "accounts.json").string());
    }
    if (FTls && !AOptions.CertFile.empty()) {
        LArgs.insert(LArgs.end(),
                     {"--cert", AOptions.CertFile.string(), "--key", AOptions.KeyFile.string()});
    } else if (FTls) {
        RunOrThrow(
            "openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=127.0.0.1 -keyout " +
            ShellQuote(FRoot / "key.pem") + " -out " + ShellQuote(FRoot / "cert.pem") +
            " >/dev/null 2>&1");
        LArgs.insert(LArgs.end(), {"--cert", (FRoot / "cert.pem").string(), "--key",
                                   (FRoot / "key.pem").string()});
    }
    FService =
        std::make_unique<TPythonService>(LTools / "api_server.py", LArgs, FRoot / "server.log");
    FPort = FService->Port();
}

TLocalApiServer::~TLocalApiServer() {
    FService.reset();
    std::error_code LError;
    std::filesystem::remove_all(FRoot, LError);
}

std::string TLocalApiServer::BaseUrl() const {
    return std::string(FTls ? "https" : "http") + "://127.0.0.1:" + std::to_string(FPort);
}

namespace {

// Replaces the file as a whole, so an answer the server is still sending from
// the old one keeps its bytes.
void ReplaceFile(const std::filesystem::path& APath, const std::string& ABytes) {
    const auto LTemp = APath.string() + ".new";
    std::ofstream(LTemp, std::ios::binary) << ABytes;
    std::filesystem::rename(LTemp, APath);
}

} // namespace

void TLocalApiServer::WriteConfig(const std::string& AMode, const std::string& ABytes) const {
    ReplaceFile(FRoot / "config" / (AMode + ".json"), ABytes);
}

void TLocalApiServer::WriteFile(const std::string& AName, const std::string& ABytes) const {
    ReplaceFile(FRoot / "files" / AName, ABytes);
}

void TLocalApiServer::MakeSizedFile(const std::string& AName, std::uintmax_t ASize) const {
    const auto LPath = FRoot / "files" / AName;
    std::ofstream(LPath, std::ios::binary).close();
    std::filesystem::resize_file(LPath, ASize);
}

std::string TLocalApiServer::Control(const std::string& APathAndQuery) const {
    orvane::THttpClient LClient;
    return LClient.GetText(BaseUrl() + APathAndQuery, std::size_t{1} << 20);
}

void TLocalApiServer::SetFault(const std::string& AKind, const std::string& APrefix, int ACount,
                               int ACode, int ADelayMs, int AHoldMs, std::uint64_t ASize) const {
    Control("/control/fault?kind=" + AKind + "&prefix=" + orvane::PercentEncodeQueryValue(APrefix) +
            "&count=" + std::to_string(ACount) + "&code=" + std::to_string(ACode) +
            "&delay=" + std::to_string(ADelayMs) + "&hold=" + std::to_string(AHoldMs) +
            "&size=" + std::to_string(ASize));
}

void TLocalApiServer::SetLaterFault(const std::string& AKind, const std::string& APrefix, int ASkip,
                                    int ACount, int ACode, int AHoldMs) const {
    Control("/control/fault?kind=" + AKind + "&prefix=" + orvane::PercentEncodeQueryValue(APrefix) +
            "&count=" + std::to_string(ACount) + "&code=" + std::to_string(ACode) +
            "&hold=" + std::to_string(AHoldMs) + "&skip=" + std::to_string(ASkip));
}

void TLocalApiServer::Release() const {
    Control("/control/release");
}

void TLocalApiServer::Clear() const {
    Control("/control/clear");
}

std::vector<std::string> TLocalApiServer::Requests() const {
    const auto LDocument = orvane::ParseAnswer(Control("/control/requests"));
    std::vector<std::string> Result;
    if (LDocument && LDocument->IsObject() && LDocument->HasMember("requests")) {
        for (const auto& LItem : (*LDocument)["requests"].GetArray()) {
            Result.emplace_back(LItem.GetString(), LItem.GetStringLength());
        }
    }
    return Result;
}

std::vector<std::string> TLocalApiServer::FileRequests() const {
    std::vector<std::string> LResult;
    for (const std::string& LRequest : Requests()) {
        if (LRequest.rfind("/token/", 0) != 0) {
            LResult.push_back(LRequest);
        }
    }
    return LResult;
}
