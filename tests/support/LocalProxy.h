#pragma once

#include "support/TempDir.h"

#include <memory>
#include <string>
#include <vector>

class TPythonService;

// An HTTP proxy on 127.0.0.1 (tests/support/connect_proxy.py): CONNECT tunnels
// and plain requests to loopback targets, or with ARefuse a 403 to everything.
class TLocalProxy {
public:
    explicit TLocalProxy(bool ARefuse = false);
    ~TLocalProxy();
    TLocalProxy(const TLocalProxy&) = delete;
    TLocalProxy& operator=(const TLocalProxy&) = delete;

    int Port() const;
    // "http://127.0.0.1:<port>", the form the proxy variables take.
    std::string Url() const;
    // Request lines received so far ("CONNECT 127.0.0.1:443 HTTP/1.1", ...).
    std::vector<std::string> Requests() const;

private:
    TTempDir FDir;
    std::unique_ptr<TPythonService> FService;
};
