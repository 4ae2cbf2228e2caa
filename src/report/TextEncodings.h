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

// The bytes of a Base64 text as Base64Encode writes it, or false when it is not one: a length
// that is no multiple of 4, a byte outside the alphabet, padding anywhere but at the end, or pad
// bits that are not zero (so that every byte string has exactly one accepted form).
bool Base64Decode(std::string_view text, std::string& bytes);

// A form value back to its bytes: "%XX" becomes its byte. "+" stays "+": the program writes
// blanks as "%20", and copies that send Base64 unencoded mean "+" literally. False on a "%" not
// followed by two hex digits.
bool FormDecode(std::string_view value, std::string& bytes);

}  // namespace tovi
