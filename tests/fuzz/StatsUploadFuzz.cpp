// What the stats service reads from the network: an upload's body, a status report's body, and
// the Base64 inside them. Nothing crashes or hangs; a body taken is read one way only, and
// Base64 has exactly one accepted form per byte string.
#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzSupport.h"
#include "StatsProtocol.h"
#include "TextEncodings.h"
#include "UploadQueue.h"

using namespace tovi;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    std::string error, bytes;
    if (Base64Decode(input, bytes)) TOVI_FUZZ_CHECK(Base64Encode(bytes) == input);
    TOVI_FUZZ_CHECK(Base64Decode(Base64Encode(input), bytes) && bytes == input);

    // The input as a stats file, sent as the program sends it, and as a body of its own.
    for (const std::string& body : {UploadBody(input), input}) {
        const auto blocks = ParseUpload(body, error);
        if (!blocks) continue;
        std::string joined;
        for (const MatchBlock& block : *blocks) {
            TOVI_FUZZ_CHECK(block.Bytes.starts_with("ServerInfo ") && block.Bytes.ends_with("\r\n"));
            // One player line each, after the server line.
            TOVI_FUZZ_CHECK(block.Players.size() < block.Bytes.size() / 2);
            joined += block.Bytes;
        }
        if (body != input) TOVI_FUZZ_CHECK(joined == input);
    }
    if (const auto report = ParseStatusReport(input, error)) {
        TOVI_FUZZ_CHECK(report->State >= 1 && report->State <= 4);
        TOVI_FUZZ_CHECK(report->Players.size() <= kMaxStatusPlayers);
    }
    return 0;
}
