#pragma once

#include "server/Credentials.h"

#include <rapidjson/document.h>

#include <atomic>
#include <memory>
#include <string>

namespace orvane {

// The configuration document for a program without an event loop: the same
// downloader as the window's (token request, then "/cfg/?mode=%s&mac=%s" with
// that token, the same limits), its notifications run on the calling thread
// while it waits. AMachineDigest is the MD5 text of the machine identifier or
// empty. A failed request throws std::runtime_error with the downloader's text;
// setting ACancelled stops the transfer. Returns null when the answer is not
// one JSON value.
std::unique_ptr<rapidjson::Document>
FetchConfiguration(const std::string& AApiUrl, const TCredentials& ACredentials,
                   const std::string& AMachineDigest,
                   std::shared_ptr<const std::atomic<bool>> ACancelled);
// The same, as the bytes the server sent (a bundle keeps them as they are).
std::string FetchConfigurationText(const std::string& AApiUrl, const TCredentials& ACredentials,
                                   const std::string& AMachineDigest,
                                   std::shared_ptr<const std::atomic<bool>> ACancelled);

} // namespace orvane
