#pragma once
// The game, the data files and the web service speak Windows-1252, one byte a character.
// These turn such bytes into Unicode characters and back.
#include <string>

namespace tovi {

char32_t Windows1252ToUnicode(unsigned char byte);
// The byte for a character, or '?' when Windows-1252 has none.
char UnicodeToWindows1252(char32_t c);
// UTF-8 to Windows-1252 bytes; broken sequences and characters without a byte become "?".
std::string Utf8ToWindows1252(const std::string& text);

}  // namespace tovi
