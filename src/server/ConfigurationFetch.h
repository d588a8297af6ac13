#pragma once

#include "server/Credentials.h"

#include <rapidjson/document.h>

#include <atomic>
#include <memory>
#include <string>

namespace orvane {

// The configuration document fetched on the calling thread, for a program
// without an event loop: the token request for ACredentials, then
// "/cfg/?mode=%s&mac=%s" with that token, by the same URL rules as the
// downloader. AMachineDigest is the MD5 text of the machine identifier or
// empty. A failed request throws with the downloader's texts (THttpError,
// TProtocolError); ACancelled, when set, stops it between the two requests
// (THttpClient::CancelAll stops a request under way).
// Returns null when the answer is not one JSON value.
std::unique_ptr<rapidjson::Document> FetchConfiguration(const std::string& AApiUrl,
                                                        const TCredentials& ACredentials,
                                                        const std::string& AMachineDigest,
                                                        const std::atomic<bool>* ACancelled);

} // namespace orvane
