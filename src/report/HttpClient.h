#pragma once
// The one way the web reporting reaches the stats web service: one POST at a time, bounded by a
// time-out, answering the service's "ToviResponse" header or why there is none.
#include <functional>
#include <string>

namespace tovi {

inline constexpr const char* kToviResponseHeader = "ToviResponse";
inline constexpr const char* kFormContentType = "application/x-www-form-urlencoded";

enum class HttpOutcome {
    Answered,  // the service answered, whatever its status code
    TimedOut,  // no complete answer within the time-out
    Failed,    // no answer for another reason: bad address, refused connection, TLS, ...
};

struct HttpResult {
    HttpOutcome outcome = HttpOutcome::Failed;
    std::string toviResponse;  // the header's bytes when Answered; empty when the answer has none
    std::string error;         // when Failed: what went wrong, in plain words
};

class HttpClient {
public:
    virtual ~HttpClient() = default;
    // Starts a POST of `body` to `url` (Windows-1252 bytes, http or https) and returns at once.
    // `done` runs once, later, on the user-interface thread (never from inside Post) unless
    // Cancel comes first. A transfer still running is cancelled first.
    virtual void Post(const std::string& url, const std::string& body, const std::string& contentType, int timeoutMs,
                      std::function<void(const HttpResult&)> done) = 0;
    // Abandons the running transfer, if any; its `done` never runs.
    virtual void Cancel() = 0;
    // A transfer runs: started and its `done` not yet run.
    virtual bool Busy() const = 0;
};

}  // namespace tovi
