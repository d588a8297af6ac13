#pragma once

#include "server/Credentials.h"

#include <rapidjson/document.h>

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace orvane {

// A failure of the wire rules (bad mode, unusable token answer); the message is
// what the user sees.
class TProtocolError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// An answer beyond a size or a count the installer takes; the message names
// the limit.
class TAnswerLimitError : public TProtocolError {
public:
    using TProtocolError::TProtocolError;
};

// Most bytes read into memory for a token answer (a token is a few dozen) and
// for a configuration document (a vendor's is a few KiB).
inline constexpr std::size_t KMaxTokenAnswerBytes = 16 * 1024;
inline constexpr std::size_t KMaxConfigurationBytes = 8 * 1024 * 1024;

// Parse flags for every answer: numbers keep the text they were written with,
// and the parser keeps its nesting on the heap rather than on the call stack.
inline constexpr unsigned KAnswerParseFlags =
    rapidjson::kParseNumbersAsStringsFlag | rapidjson::kParseIterativeFlag;

// Deepest nesting of arrays and objects an answer may have. Real answers nest
// three levels; a deeper one is refused while parsing, so no deep document ever
// exists for a recursive writer, copy or destructor to overflow the stack on.
inline constexpr unsigned KMaxAnswerDepth = 64;

// A member of a JSON object read as text: the first member of that name, a
// string or number, quotes and control characters stripped. nullopt when the
// member is absent or of another kind.
std::optional<std::string> ReadMemberText(const rapidjson::Value& AObject, const char* AName);

// Same, with the empty text for an absent member.
std::string ReadMemberTextOrEmpty(const rapidjson::Value& AObject, const char* AName);

// Lower-case hexadecimal MD5 digest of the UTF-8 bytes of AText.
std::string MD5Text(const std::string& AText);

// Version of a package file from its name: the last "_" piece without ".zip".
std::string FileVersionFromFile(const std::string& AFile);

// Percent-encodes every byte outside the URL-safe set (letters, digits, "-._~"),
// so a value cannot change or split the query it is put into.
std::string PercentEncodeQueryValue(const std::string& AValue);

// "dev" or "com"; throws TProtocolError(AInvalidText) for any other mode.
std::string EditionWord(TUserMode AMode, const char* AInvalidText);

// An endpoint beginning "https://" or "http://" (exact case) is fetched unchanged.
bool IsAbsoluteEndpoint(const std::string& AEndPoint);

// The URL of a request: absolute endpoints unchanged, relative ones joined to
// the base with the token appended.
std::string RequestUrl(const std::string& AEndPoint, const std::string& ABaseUrl,
                       const std::string& AToken);

// The token request for the given login; throws TProtocolError with
// "invalid api token request" for a mode outside the two editions.
std::string TokenUrl(const std::string& ABaseUrl, const TCredentials& ACredentials);

// The token from a token answer body; throws TProtocolError with
// "failed to retrieve api token" when the answer carries none.
std::string ReadTokenAnswer(std::string_view ABody);

// "/cfg/?mode=%s&mac=%s"; AMacDigest is the MD5 text of the machine identifier
// or empty. Throws TProtocolError("invalid user mode") for a bad mode.
std::string ConfigurationEndpoint(TUserMode AMode, const std::string& AMacDigest);

// Package-file endpoint of a version entry from its "url", "file" and "base_url".
std::string PackageEndpoint(const rapidjson::Value& AEntry);

// Body bytes to text: byte-order marks for UTF-8 and UTF-16 honoured, valid
// UTF-8 kept, anything else read as Latin-1. The result is UTF-8.
std::string DecodeAnswerText(const std::string& ABytes);

// Exactly one JSON value (white space around it allowed) nested at most
// KMaxAnswerDepth levels, or null.
// Valid UTF-8 is parsed where it lies, without a copy.
std::unique_ptr<rapidjson::Document> ParseAnswer(std::string_view ABytes);

} // namespace orvane
