#pragma once
// The automatic messages: a list of chat lines kept in automessages.txt and edited in txtAutoMes,
// sent to all players one after another whenever the poll finds one due.
#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

#include "ConsoleChannel.h"
#include "Dialogs.h"

namespace tovi {

// Writes one key of settings.ini.
class SettingsWriter {
public:
    virtual ~SettingsWriter() = default;
    virtual void WriteSetting(const std::string& section, const std::string& key,
                              const std::string& value) = 0;
};

// The controls of the frame fraAutomes.
class AutoMessageView {
public:
    virtual ~AutoMessageView() = default;
    // The text of txtAutoMes, lines ending in CR LF, single-byte.
    virtual std::string AutoMesText() = 0;
    virtual void SetAutoMesText(const std::string& text) = 0;
    // Enables or disables txtAutoMes, slideAutoMes and cmdSaveSettingsAutoMes together.
    virtual void SetAutoMesControlsEnabled(bool enabled) = 0;
    // The value of slideAutoMes, in minutes.
    virtual int AutoMesInterval() = 0;
};

inline constexpr const char* kAutoMessagesFile = "automessages.txt";

// Replaces `Box` with the file's lines that hold more than blanks, each as read and followed by
// CR LF; lines may end in CR LF, LF or CR. A missing file gives an empty box; one that cannot be
// read or is larger than kMaxInputFileBytes gives an empty box and false, `refused` saying why.
bool LoadTextIntoBox(std::string& Box, const std::filesystem::path& Path, std::string* refused = nullptr);
// Writes the box's lines (cut at CR LF, LF or CR), each followed by CR LF, replacing the file
// only once all is written. On failure the operator is warned and the answer is false.
bool SaveBoxToFile(const std::string& Box, const std::filesystem::path& Path, Dialogs& dialogs);

class AutoMessages {
public:
    // `dataDir` is the folder that holds automessages.txt and settings.ini.
    AutoMessages(const std::filesystem::path& dataDir, ConsoleChannel& channel, Dialogs& dialogs,
                 SettingsWriter& settings, AutoMessageView& view);

    // Reads the file into txtAutoMes and the list, and starts the rotation at the first message.
    void LoadAutoMessages();
    // Sends the message whose turn it is, then moves the turn on, sent or not.
    void SendNextAutoMessage();

    void Switch(bool ticked);
    // True when the messages were saved.
    bool Save();

    const std::vector<std::string>& Messages() const { return m_messages; }
    size_t NextAutoMessage() const { return m_next; }
    const std::filesystem::path& FilePath() const { return m_path; }

private:
    std::filesystem::path m_path;
    ConsoleChannel& m_channel;
    Dialogs& m_dialogs;
    SettingsWriter& m_settings;
    AutoMessageView& m_view;
    std::vector<std::string> m_messages;
    size_t m_next = 0;  // wider than a byte, so that lists of more than 256 messages are sent in full
};

}  // namespace tovi
