#pragma once
// The game, the data files and the web service speak Windows-1252, one byte a character.
// These turn such bytes into Unicode characters and back.
#include <string>
#include <string_view>

namespace tovi {

char32_t Windows1252ToUnicode(unsigned char byte);
// The byte for a character, or '?' when Windows-1252 has none.
char UnicodeToWindows1252(char32_t c);
// Windows-1252 bytes to UTF-8 (an unassigned byte stands for the control character of its value).
std::string Windows1252ToUtf8(std::string_view bytes);
// UTF-8 to Windows-1252 bytes; broken sequences and characters without a byte become "?".
std::string Utf8ToWindows1252(const std::string& text);

// Letter case of Windows-1252 text: every comparison that ignores case folds with these, so that
// "É" and "é" are one letter wherever case is ignored. Capitals become small letters: A-Z, the
// accented capitals 0xC0-0xDE (not 0xD7, the multiplication sign), and Š, Œ, Ž, Ÿ.
char LowerCase1252(char c);
std::string LowerCase1252(std::string_view text);
bool EqualIgnoringCase(std::string_view a, std::string_view b);
// The small letter without its accent where Unicode makes the letter from a plain one and a mark
// ("É" and "é" become "e", "Š" "s"); letters of their own ("æ", "ø", "ß", "ð", "þ") stay. This is
// how the chat search matches words, so that "jerome" finds "Jérôme".
char BaseLetter1252(char c);

}  // namespace tovi
