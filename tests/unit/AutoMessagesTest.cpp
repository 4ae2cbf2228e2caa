#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "AdminFixture.h"
#include "AutoMessages.h"
#include "PollCycle.h"

using namespace tovi;
using namespace tovi::admin_test;
namespace fs = std::filesystem;

namespace {

class AutoMessagesTest : public AdminTest, public SettingsWriter, public AutoMessageView {
protected:
    fs::path folder =
        fs::temp_directory_path() /
        ("tovi-automes-" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
    AutoMessages messages{folder, channel, dialogs, *this, *this};
    Strings settings;  // "section/key=value" as written
    std::string box;   // txtAutoMes
    bool enabled = false;
    int interval = 5;

    void WriteSetting(const std::string& section, const std::string& key, const std::string& value) override {
        settings.push_back(section + "/" + key + "=" + value);
    }
    std::string AutoMesText() override { return box; }
    void SetAutoMesText(const std::string& text) override { box = text; }
    void SetAutoMesControlsEnabled(bool on) override { enabled = on; }
    int AutoMesInterval() override { return interval; }

    void SetUp() override {
        AdminTest::SetUp();
        fs::create_directories(folder);
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(folder, ignored);
    }
    void Load(const std::string& file) {
        std::ofstream(messages.FilePath(), std::ios::binary) << file;
        messages.LoadAutoMessages();
    }
    static std::string Read(const fs::path& path) {
        std::ostringstream bytes;
        bytes << std::ifstream(path, std::ios::binary).rdbuf();
        return bytes.str();
    }
    void SendNext() {
        messages.SendNextAutoMessage();
        clock.Advance(2000);
    }
};

}  // namespace

TEST_F(AutoMessagesTest, LinesThatHoldOnlyBlanksAreDroppedAndTheOthersKeptAsTheyAre) {
    Load("Welcome to the server\r\n\r\n   \r\n----------\r\n");
    EXPECT_EQ(box, "Welcome to the server\r\n----------\r\n");
    EXPECT_EQ(messages.Messages(), (Strings{"Welcome to the server", "----------"}));

    // LF line ends and a last line without any line end are lines too.
    Load("  padded  \n\t\n\xe9t\xe9 \r\nlast");
    EXPECT_EQ(box, "  padded  \r\n\xe9t\xe9 \r\nlast\r\n");
    EXPECT_EQ(messages.Messages(), (Strings{"  padded  ", "\xe9t\xe9 ", "last"}));

    // A missing file is an empty one: nothing is sent and nothing logged.
    fs::remove(messages.FilePath());
    messages.LoadAutoMessages();
    EXPECT_EQ(box, "");
    SendNext();
    EXPECT_TRUE(backend.events.empty());
    EXPECT_TRUE(log.lines.empty());
}

TEST_F(AutoMessagesTest, MessagesGoOutInTurnPastTheTwoHundredFiftySixthAndWrap) {
    std::string file;
    for (int i = 1; i <= 300; ++i) file += "message " + std::to_string(i) + "\r\n";
    Load(file);
    // A message refused while the server loads is not sent again.
    server.SetByte(game::kGameState, 1);
    SendNext();
    server.SetByte(game::kGameState, 3);
    for (int i = 0; i < 301; ++i) SendNext();

    const Strings said = Effects();
    ASSERT_EQ(said.size(), 301u);
    EXPECT_EQ(said[0], "chat \"Host: message 2\"");
    EXPECT_EQ(said[255], "chat \"Host: message 257\"");
    EXPECT_EQ(said[298], "chat \"Host: message 300\"");
    EXPECT_EQ(said[299], "chat \"Host: message 1\"");
    EXPECT_EQ(log.lines, Strings{"Can not send command while cycling"});
}

TEST_F(AutoMessagesTest, ThePollSendsOneMessageEveryIntervalOfHostingTicks) {
    struct Hooks : PollHooks {
        AutoMessages* messages;
        void SendNextAutoMessage() override { messages->SendNextAutoMessage(); }
    } hooks;
    hooks.messages = &messages;
    QuietPollView view(2);
    ServerStatus status;
    PollCycle poll(memory, status, view, hooks, clock);
    Strings said;  // "<tick> <chat>"
    auto ticks = [&](uint8_t state, int count) {
        for (int i = 0; i < count; ++i) {
            server.SetByte(game::kGameState, state);
            poll.Timer_Timer();
            const size_t before = Effects().size();
            clock.Advance(1000);
            if (Effects().size() > before)
                said.push_back(std::to_string(status.PollTicks - 1) + " " + Effects().back());
        }
    };
    Load("first\r\nsecond\r\nthird\r\n");

    ticks(3, 500);
    EXPECT_EQ(said, (Strings{"120 chat \"Host: first\"", "240 chat \"Host: second\"",
                             "360 chat \"Host: third\"", "480 chat \"Host: first\""}));
    // Map cycles shorter than the interval send nothing; the rotation goes on where it was.
    for (int cycle = 0; cycle < 3; ++cycle) {
        ticks(1, 5);
        ticks(3, 100);
    }
    EXPECT_EQ(said.size(), 4u);
    ticks(3, 20);
    EXPECT_EQ(said.back(), "120 chat \"Host: second\"");
}

TEST_F(AutoMessagesTest, SavingWritesEveryLineWithCrLfAndAFailedSaveLeavesTheOldFile) {
    const fs::path path = folder / "box.txt";
    for (auto [text, file] : {std::pair{"one\r\ntwo", "one\r\ntwo\r\n"},
                              {"one\r\ntwo\r\n", "one\r\ntwo\r\n\r\n"},
                              {"a\nb", "a\r\nb\r\n"},
                              {"", ""}}) {
        ASSERT_TRUE(SaveBoxToFile(text, path, dialogs));
        EXPECT_EQ(Read(path), file);
    }
    EXPECT_TRUE(dialogs.warnings.empty());

    const fs::path missing = folder / "no such folder" / "automessages.txt";
    EXPECT_FALSE(SaveBoxToFile("text", missing, dialogs));
    EXPECT_EQ(dialogs.warnings, Strings{"An Error occurred saving to file:\r\n" + missing.string()});
    // A folder where the file should be is not replaced, and nothing is left beside it.
    fs::create_directory(folder / "taken");
    EXPECT_FALSE(SaveBoxToFile("text", folder / "taken", dialogs));
    EXPECT_TRUE(fs::is_directory(folder / "taken"));
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 2);
}

TEST_F(AutoMessagesTest, TheSaveButtonStoresTheBoxAndTheIntervalAndRestartsTheRotation) {
    Load("one\r\ntwo\r\nthree\r\n");
    SendNext();
    SendNext();
    box = "alpha\r\n\r\nbeta";
    interval = 7;
    messages.cmdSaveSettingsAutoMes_Click();
    EXPECT_EQ(Read(messages.FilePath()), "alpha\r\n\r\nbeta\r\n");
    EXPECT_EQ(settings, Strings{"settings/useautomes=7"});
    EXPECT_EQ(dialogs.notices, Strings{"Automessages have been saved"});
    EXPECT_EQ(box, "alpha\r\nbeta\r\n");
    SendNext();
    EXPECT_EQ(Effects().back(), "chat \"Host: alpha\"");

    // A failed save stores nothing and keeps the messages.
    fs::remove(messages.FilePath());
    fs::create_directory(messages.FilePath());
    messages.cmdSaveSettingsAutoMes_Click();
    EXPECT_EQ(settings.size(), 1u);
    EXPECT_EQ(dialogs.notices.size(), 1u);
    EXPECT_EQ(messages.Messages(), (Strings{"alpha", "beta"}));

    // Clearing the check box stores 0 at once; ticking it stores nothing.
    messages.chkEnableAutoMessages_Click(true);
    EXPECT_TRUE(enabled);
    messages.chkEnableAutoMessages_Click(false);
    EXPECT_FALSE(enabled);
    EXPECT_EQ(settings, (Strings{"settings/useautomes=7", "settings/useautomes=0"}));
}
