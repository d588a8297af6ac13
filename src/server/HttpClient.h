#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>

namespace orvane {

// A failed request; the message is the HTTP client's own text. Cut: the
// connection broke or went silent mid-answer (reset, closed early, the stall
// limit), so asking again for the rest may well succeed. Unreachable: no
// connection could be made (refused, no such host, the connect time-out).
class THttpError : public std::runtime_error {
public:
    explicit THttpError(const std::string& AText, bool ACut = false, bool AUnreachable = false)
        : std::runtime_error(AText), FCut(ACut), FUnreachable(AUnreachable) {}
    bool Cut() const { return FCut; }
    bool Unreachable() const { return FUnreachable; }

private:
    bool FCut = false;
    bool FUnreachable = false;
};

// The rest of a file from byte From ("Range: bytes=From-"), sent with
// "If-Range: Validator" so that a changed file comes whole (status 200).
struct TRangeRequest {
    std::int64_t From = 0;
    std::string Validator;
};

// What a successful answer says of itself, before its body.
struct TAnswerHead {
    long Status = 0;
    std::string ETag;
    std::string LastModified;
    // A 206's "Content-Range: bytes First-Last/Complete"; -1 where not given.
    std::int64_t RangeFirst = -1;
    std::int64_t CompleteLength = -1;
};

// Reads "bytes 100-199/1000" (or ".../*") into AHead; false for anything else.
bool ParseContentRange(const std::string& AValue, TAnswerHead& AHead);

// Process-wide limits for transfers started afterwards; tests shorten them.
struct THttpLimits {
    std::chrono::milliseconds ConnectTimeout{std::chrono::seconds(30)};
    // No byte for this long fails; zero: no limit.
    std::chrono::milliseconds StallLimit{std::chrono::seconds(30)};
};

// "1 second", "30 seconds", "300 ms": a limit as messages name it.
std::string DurationText(std::chrono::milliseconds AValue);

// "The server's answer is larger than 16.0 KiB (AReason): the transfer was
// stopped".
std::string AnswerTooLargeText(std::uint64_t ALimit, const std::string& AReason);

// The body length a Content-Length value announces, in any number of digits.
// A value that is no length, or one beyond 64 bits, throws THttpError
// ("Invalid Content-Length: ...").
std::int64_t AnnouncedLength(const std::string& AValue);

// "The proxy AProxy wants a sign-in (407 Proxy Authentication Required): AReason".
std::string ProxySignInText(const std::string& AProxy, const std::string& AReason);

// Where every client's requests go, chosen for the whole process.
struct THttpProxy {
    enum TMode {
        // The environment's proxy variables (libcurl) or the user's settings (WinHTTP).
        pmSystem,
        // Address, for every request, whatever the user's settings say.
        pmNamed,
        // Straight to the server, whatever the user's settings say.
        pmNone,
    };
    TMode Mode = pmSystem;
    // pmNamed: "http://host:port" or "host:port".
    std::string Address;
};

// Plain GET: certificate checks always on, no redirects followed, no header or
// agent of our own. A connect time-out and a stall limit (THttpLimits) end a
// silent peer; there is no limit on the total time, packages are large.
// Proxies come from the usual environment variables (libcurl) or the user's
// settings (WinHTTP), unless SetProxy names one or none.
class THttpClient {
public:
    // Begin of an answer with the announced body length (-1 when unknown).
    std::function<void(std::int64_t AExpected)> OnBegin;
    // After each block, with the bytes received so far in this answer.
    std::function<void(std::int64_t AReceived)> OnProgress;
    // End of an answer, with the bytes received in it.
    std::function<void(std::int64_t AReceived)> OnEnd;
    // A 2xx answer's status and validators, before OnBegin; may throw to stop.
    std::function<void(const TAnswerHead& AHead)> OnHead;
    // Asks the next Get for part of the file only; Get clears it.
    std::optional<TRangeRequest> Range;

    THttpClient();
    ~THttpClient();
    THttpClient(const THttpClient&) = delete;
    THttpClient& operator=(const THttpClient&) = delete;

    // Sends the GET and hands each body block to AWrite (which may throw to
    // stop). A status outside 2xx, a connection or TLS failure, or a
    // cancellation throws THttpError.
    void Get(const std::string& AUrl, const std::function<void(const char*, std::size_t)>& AWrite);

    // The whole body in memory, at most AMaxBytes of it: a longer answer
    // stops at the limit and throws THttpError(AnswerTooLargeText).
    std::string GetText(const std::string& AUrl, std::size_t AMaxBytes,
                        const std::string& AReason = "the most this answer may be");

    // Stops this client's running transfer at its next progress check, or its
    // next one when none runs yet; a transfer that ends in failure takes it
    // back, so the client can be used again.
    void Cancel() { FCancelled = true; }

    // Stops every transfer that is running now, in any client; later transfers
    // run normally.
    static void CancelAll();
    static std::uint64_t CancelEpoch();

    // Makes the following transfers count as started at AEpoch, so a CancelAll
    // between then and their start stops them too.
    void PinCancelEpoch(std::uint64_t AEpoch) {
        FPinnedEpoch = AEpoch;
        FPinned = true;
    }

    // What the client says of what it chose on its own (the proxy a host's
    // requests go through, a proxy detection that failed and the fallback
    // taken), to the sink of the innermost TScopedHttpLog; none: nowhere.
    static void Log(const std::string& ALine);

    static void SetProxy(const THttpProxy& AProxy);
    static THttpProxy Proxy();

    static void SetLimits(const THttpLimits& ALimits);
    static THttpLimits Limits();
    // Extra PEM CA file trusted for TLS, besides the system's store. Tests only; empty: none.
    static void SetTestCaFile(const std::string& APemFile);
    static std::string TestCaFile();

private:
    void* FHandle = nullptr;
    std::atomic<bool> FCancelled{false};
    std::uint64_t FPinnedEpoch = 0;
    bool FPinned = false;
};

// Sends the client's lines to ALog while in scope and no later scope is; when
// it ends, the newest scope still alive gets them again. ALog is called on
// transfer threads, one line at a time; it must return soon and never start a
// transfer itself. When the scope ends no call into ALog is still running.
class TScopedHttpLog {
public:
    explicit TScopedHttpLog(std::function<void(const std::string&)> ALog);
    ~TScopedHttpLog();
    TScopedHttpLog(const TScopedHttpLog&) = delete;
    TScopedHttpLog& operator=(const TScopedHttpLog&) = delete;
};

} // namespace orvane
