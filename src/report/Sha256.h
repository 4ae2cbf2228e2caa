#pragma once
// SHA-256 (FIPS 180-4), for the upload id: a name of a batch's bytes that stays the same however
// often, and after however many restarts, the batch is sent.
#include <string>
#include <string_view>

namespace tovi {

// The digest of `bytes` as 64 lower-case hexadecimal digits.
std::string Sha256Hex(std::string_view bytes);

}  // namespace tovi
