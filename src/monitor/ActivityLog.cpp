#include "ActivityLog.h"

#include <string_view>
#include <vector>

namespace tovi {

namespace {

constexpr std::string_view kLineEnd = "\r\n";

// The box's text cut at every CR LF: n complete lines give n + 1 pieces, the last one empty
// (or the unfinished last line); an empty box gives none.
std::vector<std::string_view> Pieces(std::string_view text) {
    std::vector<std::string_view> pieces;
    if (text.empty()) return pieces;
    size_t start = 0;
    for (size_t end = text.find(kLineEnd); end != std::string_view::npos; end = text.find(kLineEnd, start)) {
        pieces.push_back(text.substr(start, end - start));
        start = end + kLineEnd.size();
    }
    pieces.push_back(text.substr(start));
    return pieces;
}

}  // namespace

std::string AddLine(const std::string& boxText, const std::string& Message, int16_t MaxLines,
                    const std::string& timeOfDay) {
    const std::vector<std::string_view> pieces = Pieces(boxText);
    const auto last = static_cast<int64_t>(pieces.size()) - 1;

    std::string text;
    if (last > MaxLines) {
        // The oldest line goes, and so does the last piece (empty when the box ends in CR LF).
        // Blank lines are not written back.
        for (int64_t i = 1; i < last; ++i) {
            const std::string_view piece = pieces[static_cast<size_t>(i)];
            if (piece.empty()) continue;
            text.append(piece);
            text.append(kLineEnd);
        }
    } else {
        text = boxText;
    }
    text += "[" + timeOfDay + "] " + Message;
    text.append(kLineEnd);
    return text;
}

}  // namespace tovi
