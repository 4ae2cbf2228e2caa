#pragma once
// The texts the web reporting sends are single-byte (Windows-1252) bytes, never UTF-8: these
// routines work on bytes and hand back bytes.
#include <string>
#include <string_view>

namespace tovi {

// Standard Base64 (RFC 4648): "+", "/", "=" padding, no line breaks. Every byte counts as its
// own code, so an accented letter is encoded as its one byte.
std::string Base64Encode(std::string_view text);

// The code (0 to 255) of the first byte, 0 for an empty text.
int AscOrZero(std::string_view text);

// A value for an application/x-www-form-urlencoded body: letters, digits and "-._~" stay, every
// other byte becomes "%XX", so that a form parser gives back exactly these bytes ("+" would
// otherwise read as a blank, and "&" or "=" would split the body).
std::string FormEncode(std::string_view value);

}  // namespace tovi
