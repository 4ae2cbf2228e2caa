#include "AutoMessages.h"

#include <optional>
#include <string_view>
#include <system_error>

#include "DurableFile.h"

namespace tovi {

namespace {

constexpr std::string_view kLineEnd = "\r\n";

// The text cut at every line end: CR LF, a lone LF or a lone CR, whichever the file or the text
// box uses. An empty text has no pieces; a text that ends in a line end has an empty last piece.
std::vector<std::string> Pieces(std::string_view text) {
    std::vector<std::string> pieces;
    if (text.empty()) return pieces;
    size_t start = 0;
    for (size_t at = text.find_first_of("\r\n"); at != std::string_view::npos;
         at = text.find_first_of("\r\n", start)) {
        pieces.emplace_back(text.substr(start, at - start));
        start = at + (text.compare(at, 2, kLineEnd) == 0 ? 2 : 1);
    }
    pieces.emplace_back(text.substr(start));
    return pieces;
}

bool IsBlank(std::string_view line) {
    return line.find_first_not_of(" \t") == std::string_view::npos;
}

}  // namespace

bool LoadTextIntoBox(std::string& Box, const std::filesystem::path& Path, std::string* refused) {
    Box.clear();
    std::error_code ec;
    if (!std::filesystem::exists(Path, ec)) return true;
    std::string error;
    const std::optional<std::string> content = ReadWholeFile(Path, error, kMaxInputFileBytes);
    if (!content) {
        if (refused) *refused = error;
        return false;
    }
    std::vector<std::string> lines = Pieces(*content);
    // The piece after a final line end is no line.
    if (!lines.empty() && lines.back().empty()) lines.pop_back();
    for (const std::string& line : lines) {
        if (IsBlank(line)) continue;
        Box += line;
        Box += kLineEnd;
    }
    return true;
}

bool SaveBoxToFile(const std::string& Box, const std::filesystem::path& Path, Dialogs& dialogs) {
    std::string content;
    for (const std::string& piece : Pieces(Box)) {
        content += piece;
        content += kLineEnd;
    }
    // What could not be read back at the next start is not saved either.
    std::string error;
    bool saved = false;
    if (content.size() > kMaxInputFileBytes) {
        error = "the messages take more than " + std::to_string(kMaxInputFileBytes) + " bytes";
    } else {
        saved = ReplaceFileContent(Path, content, error);
    }
    if (!saved) dialogs.Warn("An Error occurred saving to file:\r\n" + PathText(Path) + "\r\n" + error);
    return saved;
}

AutoMessages::AutoMessages(const std::filesystem::path& dataDir, ConsoleChannel& channel, Dialogs& dialogs,
                           SettingsWriter& settings, AutoMessageView& view)
    : m_path(dataDir / kAutoMessagesFile),
      m_channel(channel),
      m_dialogs(dialogs),
      m_settings(settings),
      m_view(view) {}

void AutoMessages::LoadAutoMessages() {
    std::string box;
    std::string refused;
    if (!LoadTextIntoBox(box, m_path, &refused)) {
        m_dialogs.Warn("The automatic messages were not loaded: " + refused);
    }
    m_view.SetAutoMesText(box);
    m_messages = Pieces(box);
    // The piece after the last line end is not a message.
    if (m_messages.size() > 1) m_messages.pop_back();
    m_next = 0;
}

void AutoMessages::SendNextAutoMessage() {
    if (m_next >= m_messages.size()) m_next = 0;
    if (m_messages.empty()) return;
    m_channel.SendServerCommand("gtalk", m_messages[m_next], {}, {}, SendNote{ActionKind::AutomaticMessage, "", "", true});
    // A message that could not be delivered is not repeated.
    ++m_next;
}

void AutoMessages::Switch(bool ticked) {
    m_view.SetAutoMesControlsEnabled(ticked);
    // Switching on waits for the save button to store an interval; switching off is stored at once.
    if (!ticked) m_settings.WriteSetting("settings", "useautomes", "0");
}

bool AutoMessages::Save() {
    if (!SaveBoxToFile(m_view.AutoMesText(), m_path, m_dialogs)) return false;
    m_settings.WriteSetting("settings", "useautomes", std::to_string(m_view.AutoMesInterval()));
    m_dialogs.Inform("Automessages have been saved");
    LoadAutoMessages();
    return true;
}

}  // namespace tovi
