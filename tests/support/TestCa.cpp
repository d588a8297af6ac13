#include "support/TestCa.h"

#include "support/PythonService.h"

#include <fstream>

namespace {

// EC keys: made in milliseconds, where RSA takes long on a busy machine.
const char* const KNewKey = "-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";

} // namespace

TTestCa::TTestCa(const std::string& ACommonName) : FCert(FDir / "ca.pem"), FKey(FDir / "ca.key") {
    RunOrThrow(std::string("openssl req -x509 ") + KNewKey + " -days 2 -subj '/CN=" + ACommonName +
               "' -addext basicConstraints=critical,CA:TRUE -addext "
               "keyUsage=critical,keyCertSign,cRLSign -keyout " +
               ShellQuote(FKey) + " -out " + ShellQuote(FCert) + " >/dev/null 2>&1");
}

TTestCa::TIssued TTestCa::Issue(const std::string& AName,
                                const std::string& ASubjectAltName) const {
    TIssued Result{FDir / (AName + ".pem"), FDir / (AName + ".key")};
    const auto LRequest = FDir / (AName + ".csr");
    const auto LExtensions = FDir / (AName + ".ext");
    std::ofstream(LExtensions) << "subjectAltName=" << ASubjectAltName
                               << "\nbasicConstraints=CA:FALSE\n"
                                  "keyUsage=digitalSignature\nextendedKeyUsage=serverAuth\n";
    RunOrThrow(std::string("openssl req ") + KNewKey + " -subj '/CN=" + AName + "' -keyout " +
               ShellQuote(Result.KeyFile) + " -out " + ShellQuote(LRequest) + " >/dev/null 2>&1");
    RunOrThrow("openssl x509 -req -days 1 -in " + ShellQuote(LRequest) + " -CA " +
               ShellQuote(FCert) + " -CAkey " + ShellQuote(FKey) + " -CAcreateserial -extfile " +
               ShellQuote(LExtensions) + " -out " + ShellQuote(Result.CertFile) +
               " >/dev/null 2>&1");
    return Result;
}
