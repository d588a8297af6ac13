#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

class TPythonService;

// The project's local API server (tools/api_server.py) on 127.0.0.1 with a
// free port, serving from a temp folder of its own; stopped and removed at the
// end of the object's life.
class TLocalApiServer {
public:
    struct TOptions {
        bool Tls = false;            // self-signed certificate made with the openssl CLI
        bool SamplePackages = false; // fill the folder with tools/make_sample_packages.py
        std::string AccountsJson;    // accounts file contents; empty: no accounts
        // With Tls: serve this certificate and key instead (see TTestCa).
        std::filesystem::path CertFile{};
        std::filesystem::path KeyFile{};
    };

    TLocalApiServer();
    explicit TLocalApiServer(const TOptions& AOptions);
    // A TLS server with this certificate and key (made by a TTestCa).
    static std::unique_ptr<TLocalApiServer> WithCertificate(const std::filesystem::path& ACertFile,
                                                            const std::filesystem::path& AKeyFile);
    ~TLocalApiServer();
    TLocalApiServer(const TLocalApiServer&) = delete;
    TLocalApiServer& operator=(const TLocalApiServer&) = delete;

    int Port() const { return FPort; }
    // "http://127.0.0.1:<port>" (https with Tls), without a trailing "/".
    std::string BaseUrl() const;
    const std::filesystem::path& Root() const { return FRoot; }

    // Configuration document answered for an edition word ("dev", "com").
    void WriteConfig(const std::string& AMode, const std::string& ABytes) const;
    // A package file served under "/file/<name>".
    void WriteFile(const std::string& AName, const std::string& ABytes) const;
    // A file of ASize bytes without writing them (sparse).
    void MakeSizedFile(const std::string& AName, std::uintmax_t ASize) const;

    // Faults for requests whose target (path and query) begins with APrefix;
    // ACount < 0: all of them.
    // Kinds: status, last (answered as usual, then the server stops listening),
    // redirect, nonjson, nonobject, truncated, slow, drop,
    // nolength, late (the status answer after ADelayMs); stall (headers, then
    // silence), accept-silent (no answer at all) and burst (half the body, then
    // silence) keep quiet for AHoldMs and then close the connection. Raw answers: lf-status (ACode,
    // 404 for the default, with LF-only lines), switch (an unasked-for 101, then a body),
    // redirect-body (a 302 with LF-only lines and a body). endless (a body
    // without end) and huge (ASize bytes announced and sent) are JSON text
    // that begins like a token answer.
    void SetFault(const std::string& AKind, const std::string& APrefix, int ACount = -1,
                  int ACode = 500, int ADelayMs = 50, int AHoldMs = 60000,
                  std::uint64_t ASize = 0) const;
    // A fault for the matching requests after the first ASkip of them; kinds
    // as above, and hold: the request waits for Release, then is answered as
    // usual; after AHoldMs without it, with ACode.
    void SetLaterFault(const std::string& AKind, const std::string& APrefix, int ASkip,
                       int ACount = 1, int ACode = 500, int AHoldMs = 60000) const;
    // Lets the requests a hold fault keeps go on.
    void Release() const;
    // Removes the faults and forgets the requests seen so far.
    void Clear() const;
    // Request targets (path and query) in arrival order.
    std::vector<std::string> Requests() const;
    // The same without the token requests.
    std::vector<std::string> FileRequests() const;

    static std::filesystem::path SourceDir();

private:
    std::string Control(const std::string& APathAndQuery) const;

    std::filesystem::path FRoot;
    std::unique_ptr<TPythonService> FService;
    int FPort = 0;
    bool FTls = false;
};
