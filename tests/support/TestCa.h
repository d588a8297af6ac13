#pragma once

#include "support/TempDir.h"

#include <filesystem>
#include <string>

// A certificate authority made for one test with the openssl CLI, and server
// certificates it signs.
class TTestCa {
public:
    struct TIssued {
        std::filesystem::path CertFile;
        std::filesystem::path KeyFile;
    };

    explicit TTestCa(const std::string& ACommonName = "Orvane Test CA");

    // The CA's certificate (PEM), for THttpClient::SetTestCaFile.
    const std::filesystem::path& CertFile() const { return FCert; }
    // A server certificate for ASubjectAltName ("IP:127.0.0.1", "DNS:other.test").
    TIssued Issue(const std::string& AName, const std::string& ASubjectAltName) const;

private:
    TTempDir FDir;
    std::filesystem::path FCert;
    std::filesystem::path FKey;
};
