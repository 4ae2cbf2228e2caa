#pragma once
// The conversion between the core's single-byte (Windows-1252) texts and Qt's Unicode strings.
#include <QString>
#include <string>
#include <string_view>

namespace tovi {

// Windows-1252 bytes to display text, and typed text back to bytes ("?" for a character that has
// no byte).
QString FromGameText(const std::string& bytes);
std::string ToGameText(const QString& text);

// The SHA-256 of `bytes` in lower-case hex.
std::string Sha256Hex(std::string_view bytes);

}  // namespace tovi
