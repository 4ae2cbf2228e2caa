#include "AutoMessages.h"

#include <fstream>
#include <string_view>
#include <system_error>

namespace tovi {

namespace {

constexpr std::string_view kLineEnd = "\r\n";

// The text cut at every line end: CR LF, or the lone LF a text box of this platform may use.
// An empty text has no pieces; a text that ends in a line end has an empty last piece.
std::vector<std::string> Pieces(const std::string& text) {
    std::vector<std::string> pieces;
    if (text.empty()) return pieces;
    size_t start = 0;
    for (size_t lf = text.find('\n'); lf != std::string::npos; lf = text.find('\n', start)) {
        const size_t end = (lf > start && text[lf - 1] == '\r') ? lf - 1 : lf;
        pieces.push_back(text.substr(start, end - start));
        start = lf + 1;
    }
    pieces.push_back(text.substr(start));
    return pieces;
}

bool IsBlank(std::string_view line) {
    return line.find_first_not_of(" \t") == std::string_view::npos;
}

}  // namespace

void LoadTextIntoBox(std::string& Box, const std::filesystem::path& Path) {
    Box.clear();
    std::ifstream file(Path, std::ios::binary);
    std::string line;
    while (file && std::getline(file, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (IsBlank(line)) continue;
        Box += line;
        Box += kLineEnd;
    }
}

bool SaveBoxToFile(const std::string& Box, const std::filesystem::path& Path, Dialogs& dialogs) {
    // Written beside the file and then put in its place, so that a failed save leaves the old
    // file whole.
    std::filesystem::path temporary = Path;
    temporary += ".tmp";
    bool saved = false;
    {
        std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
        for (const std::string& piece : Pieces(Box)) {
            file << piece << kLineEnd;
        }
        file.close();
        saved = !file.fail();
    }
    std::error_code error;
    if (saved) {
        std::filesystem::rename(temporary, Path, error);
        saved = !error;
    }
    if (!saved) {
        std::filesystem::remove(temporary, error);
        dialogs.Warn("An Error occurred saving to file:\r\n" + Path.string());
    }
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
    LoadTextIntoBox(box, m_path);
    m_view.SetAutoMesText(box);
    m_messages = Pieces(box);
    // The piece after the last line end is not a message.
    if (m_messages.size() > 1) m_messages.pop_back();
    m_next = 0;
}

void AutoMessages::SendNextAutoMessage() {
    if (m_next >= m_messages.size()) m_next = 0;
    if (m_messages.empty()) return;
    m_channel.SendServerCommand("gtalk", m_messages[m_next]);
    // A message that could not be delivered is not repeated.
    ++m_next;
}

void AutoMessages::chkEnableAutoMessages_Click(bool ticked) {
    m_view.SetAutoMesControlsEnabled(ticked);
    // Switching on waits for the save button to store an interval; switching off is stored at once.
    if (!ticked) m_settings.WriteSetting("settings", "useautomes", "0");
}

void AutoMessages::cmdSaveSettingsAutoMes_Click() {
    if (!SaveBoxToFile(m_view.AutoMesText(), m_path, m_dialogs)) return;
    m_settings.WriteSetting("settings", "useautomes", std::to_string(m_view.AutoMesInterval()));
    m_dialogs.Inform("Automessages have been saved");
    LoadAutoMessages();
}

}  // namespace tovi
