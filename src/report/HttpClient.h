#pragma once
// The one way the web reporting reaches the stats web service: one POST at a time, bounded by a
// deadline for the whole transfer, answering with the status code and the service's
// "ToviResponse" header, or why there is no answer.
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace tovi {

inline constexpr const char* kToviResponseHeader = "ToviResponse";
inline constexpr const char* kFormContentType = "application/x-www-form-urlencoded";

struct HttpRequest {
    std::string url;   // Windows-1252 bytes, http or https
    std::string body;  // sent byte for byte
    std::string contentType = kFormContentType;
    std::vector<std::pair<std::string, std::string>> headers;  // further request headers
    int timeoutMs = 60000;  // the whole transfer, from start to the answer's last byte
};

enum class HttpOutcome {
    Answered,  // the service answered completely, with whatever status code
    TimedOut,  // no complete answer before the deadline
    Failed,    // no complete answer for another reason: bad address, refused or closed connection, TLS, ...
};

struct HttpResult {
    HttpOutcome outcome = HttpOutcome::Failed;
    int status = 0;            // when Answered: the HTTP status code
    std::string toviResponse;  // when Answered: the header's bytes; empty when the answer has none
    std::string location;      // when Answered with a redirect: where it points (never followed)
    std::string error;         // otherwise: what went wrong, in plain words
    std::string body = {};     // when Answered with a failure: the start of what the service said

    // Only a success answer to our own request that carries the header confirms it.
    bool Confirmed() const {
        return outcome == HttpOutcome::Answered && status >= 200 && status <= 299 && !toviResponse.empty();
    }
};

// The most of a failure answer's body that is kept for the log.
inline constexpr int kFailureBodyBytes = 500;

class HttpClient {
public:
    virtual ~HttpClient() = default;
    // Starts the POST and returns at once; redirects are not followed. `done` runs once, later,
    // on the user-interface thread (never from inside Post) unless Cancel comes first. A
    // transfer still running is cancelled first.
    virtual void Post(const HttpRequest& request, std::function<void(const HttpResult&)> done) = 0;
    // Abandons the running transfer, if any; its `done` never runs.
    virtual void Cancel() = 0;
    // A transfer runs: started and its `done` not yet run.
    virtual bool Busy() const = 0;
};

}  // namespace tovi
