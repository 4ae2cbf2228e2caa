#pragma once
// How long a request may take to arrive. A fixed deadline for the whole request cuts a slow but
// steady uplink short and still lets a trickle hold a connection for its full length; instead
// nothing is asked in a first grace period, and after it the request's bytes must keep up with
// a minimum rate on average. A stalled or trickling client falls behind soon; an uplink of any
// steady speed above the rate delivers whatever the size limits allow.
#include <cstddef>
#include <cstdint>

namespace tovi {

struct RequestPace {
    int64_t GraceMs = 10000;
    int64_t MinBytesPerSecond = 1024;  // below the program's own slowest uplink (16 kbit/s)

    // The moment a request that began at `startMs` and has brought `bytes` so far falls behind,
    // unless more arrives before then.
    int64_t DeadlineMs(int64_t startMs, size_t bytes) const {
        return startMs + GraceMs + static_cast<int64_t>(bytes) * 1000 / MinBytesPerSecond;
    }
};

}  // namespace tovi
