#pragma once
// How a sink reaches a web receiver: one JSON POST at a time, bounded by a deadline, never
// following a redirect, answering the status, the headers a rate limit is read from, and the body.
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "HttpClient.h"

namespace tovi {

struct JsonRequest {
    std::string url;   // UTF-8, http or https
    std::string body;  // UTF-8 JSON, sent byte for byte
    std::vector<std::pair<std::string, std::string>> headers;
    int timeoutMs = 15000;
};

struct JsonResult {
    HttpOutcome outcome = HttpOutcome::Failed;
    int status = 0;
    std::string body;                            // when Answered, at most some kB of it
    std::optional<double> retryAfterS;           // the Retry-After header, in seconds
    std::optional<int> rateLimitRemaining;       // X-RateLimit-Remaining
    std::optional<double> rateLimitResetAfterS;  // X-RateLimit-Reset-After
    std::string error;                           // otherwise: what went wrong
};

class JsonPoster {
public:
    virtual ~JsonPoster() = default;
    // Starts the POST and returns at once; `done` runs once, later, never from inside Post,
    // unless Cancel comes first. A transfer still running is cancelled first.
    virtual void Post(const JsonRequest& request, std::function<void(const JsonResult&)> done) = 0;
    virtual void Cancel() = 0;
};

// The signature of a webhook's body: HMAC-SHA256 of `body` with `key`, in small hex digits.
using BodySigner = std::function<std::string(std::string_view key, std::string_view body)>;

}  // namespace tovi
