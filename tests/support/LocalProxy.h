#pragma once

#include "support/TempDir.h"

#include <memory>
#include <string>
#include <vector>

class TPythonService;

// An HTTP proxy on 127.0.0.1 (tests/support/connect_proxy.py): CONNECT tunnels
// and plain requests to loopback targets, or one answer to everything.
class TLocalProxy {
public:
    enum TMode {
        pmRelay,
        pmRefuse,      // 403 Forbidden
        pmAskWindows,  // 407, offering Negotiate and NTLM
        pmAskPassword, // 407, offering Basic only
    };
    explicit TLocalProxy(TMode AMode = pmRelay);
    ~TLocalProxy();
    TLocalProxy(const TLocalProxy&) = delete;
    TLocalProxy& operator=(const TLocalProxy&) = delete;

    int Port() const;
    // "http://127.0.0.1:<port>", the form the proxy variables take.
    std::string Url() const;
    // Request lines received so far ("CONNECT 127.0.0.1:443 HTTP/1.1", ...),
    // with " [Proxy-Authorization: NTLM]" when one was sent.
    std::vector<std::string> Requests() const;

private:
    TTempDir FDir;
    std::unique_ptr<TPythonService> FService;
};
