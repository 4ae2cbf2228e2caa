#include <gtest/gtest.h>

#include "AdminFixture.h"
#include "AutoMessages.h"

using namespace tovi;
using namespace tovi::testing;

namespace {

class AutoMessagesTest : public AdminTest, public SettingsWriter, public AutoMessageView {
protected:
    TempFolder folder;
    AutoMessages messages{folder.Path(), channel, dialogs, *this, *this};
    Strings settings;  // "section/key=value" as written
    std::string box;   // txtAutoMes
    bool enabled = false;

    void WriteSetting(const std::string& section, const std::string& key, const std::string& value) override {
        settings.push_back(section + "/" + key + "=" + value);
    }
    std::string AutoMesText() override { return box; }
    void SetAutoMesText(const std::string& text) override { box = text; }
    void SetAutoMesControlsEnabled(bool on) override { enabled = on; }
    int AutoMesInterval() override { return 7; }

    void Load(const std::string& file) {
        WriteBytes(messages.FilePath(), file);
        messages.LoadAutoMessages();
    }
    void SendNext() {
        messages.SendNextAutoMessage();
        clock.Advance(2000);
    }
};

}  // namespace

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

TEST_F(AutoMessagesTest, TheSaveButtonStoresTheBoxWithCrLfAndTheIntervalAndRestartsTheRotation) {
    Load("one\r\ntwo\r\nthree\r\n");
    SendNext();
    SendNext();
    box = "alpha\n\r\nbeta\rgamma";
    messages.Save();
    EXPECT_EQ(ReadBytes(messages.FilePath()), "alpha\r\n\r\nbeta\r\ngamma\r\n");
    EXPECT_EQ(settings, Strings{"settings/useautomes=7"});
    EXPECT_EQ(dialogs.notices, Strings{"Automessages have been saved"});
    EXPECT_EQ(box, "alpha\r\nbeta\r\ngamma\r\n");
    SendNext();
    EXPECT_EQ(Effects().back(), "chat \"Host: alpha\"");

    // A failed save says where, stores nothing, keeps the messages, and leaves nothing beside the file.
    fs::remove(messages.FilePath());
    fs::create_directory(messages.FilePath());
    messages.Save();
    ASSERT_EQ(dialogs.warnings.size(), 1u);
    EXPECT_TRUE(dialogs.warnings[0].starts_with("An Error occurred saving to file:\r\n" +
                                                messages.FilePath().string() + "\r\ncannot replace "))
        << dialogs.warnings[0];
    EXPECT_EQ(settings.size(), 1u);
    EXPECT_EQ(dialogs.notices.size(), 1u);
    EXPECT_EQ(messages.Messages(), (Strings{"alpha", "beta", "gamma"}));
    EXPECT_EQ(std::distance(fs::directory_iterator(folder.Path()), fs::directory_iterator()), 1);

    // Clearing the check box stores 0 at once; ticking it stores nothing.
    messages.Switch(true);
    EXPECT_TRUE(enabled);
    messages.Switch(false);
    EXPECT_FALSE(enabled);
    EXPECT_EQ(settings, (Strings{"settings/useautomes=7", "settings/useautomes=0"}));
}

TEST_F(AutoMessagesTest, LinesEndInCrLfLfOrCrAndAFileBeyondTheLimitIsRefused) {
    // Each of the three line ends, and blank lines of each kind, as other editors leave them.
    Load("one\rtwo\nthree\r\n\r\r\n  \nfour");
    EXPECT_EQ(messages.Messages(), (Strings{"one", "two", "three", "four"}));
    EXPECT_EQ(box, "one\r\ntwo\r\nthree\r\nfour\r\n");

    Load(std::string(2 * 1024 * 1024, 'x') + "\r\n");
    EXPECT_TRUE(messages.Messages().empty());
    EXPECT_EQ(box, "");
    ASSERT_EQ(dialogs.warnings.size(), 1u);
    EXPECT_TRUE(dialogs.warnings[0].starts_with("The automatic messages were not loaded: "))
        << dialogs.warnings[0];
}
