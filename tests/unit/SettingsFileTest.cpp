#include <gtest/gtest.h>

#include <string>

#include "ProfileFile.h"
#include "ReportFakes.h"
#include "SettingsFile.h"

using namespace tovi;
using namespace tovi::testing;

namespace {

// A settings.ini as an operator's Windows machine leaves it: CR LF, names in mixed case, a
// comment, a key this program does not know, blank lines between sections.
const std::string kWindowsFile =
    "; Tovi stats settings\r\n"
    "[Server]\r\n"
    "ServerCode=QX-ONE\r\n"
    "UpdateUrl = http://stats.example.org/tovistats/update.php \r\n"
    "ImportURL=http://stats.example.org/tovistats/import.php\r\n"
    "owner=someone\r\n"
    "\r\n"
    "[SETTINGS]\r\n"
    "UseAutoMes=5\r\n"
    "minplayers=4\r\n"
    "ScoringTime=30\r\n"
    "displaynextmapmsg=0\r\n"
    "KeepArchive=1\r\n";

}  // namespace

TEST(ProfileFile, FindsSectionsAndKeysWithoutRegardToCase) {
    TempFolder dir;
    WriteBytes(dir / "settings.ini", kWindowsFile);
    ProfileFile file(dir / "settings.ini");
    EXPECT_EQ(file.ReadString("server", "servercode", "", 30), "QX-ONE");
    EXPECT_EQ(file.ReadString("SERVER", "ServerCode", "", 30), "QX-ONE");
    // Blanks around the name and the value are not part of them.
    EXPECT_EQ(file.ReadString("server", "updateurl", "", 100), "http://stats.example.org/tovistats/update.php");
    EXPECT_EQ(file.ReadString("settings", "keeparchive", "0", 2), "1");
    EXPECT_EQ(file.ReadString("server", "owner", "", 100), "someone");
    // A key of another section is not found.
    EXPECT_EQ(file.ReadString("settings", "servercode", "none", 30), "none");
}

TEST(ProfileFile, AnswersTheDefaultForWhateverIsMissing) {
    TempFolder dir;
    ProfileFile missing(dir / "settings.ini");
    EXPECT_EQ(missing.ReadString("server", "servercode", "", 30), "");
    EXPECT_EQ(missing.ReadString("settings", "minplayers", "0", 3), "0");
    // The profile calls drop the default's trailing blanks and cut it like a value.
    EXPECT_EQ(missing.ReadString("settings", "x", "ab  ", 10), "ab");
    EXPECT_EQ(missing.ReadString("settings", "x", "abcdef", 3), "ab");

    WriteBytes(dir / "settings.ini", kWindowsFile);
    ProfileFile file(dir / "settings.ini");
    EXPECT_EQ(file.ReadString("nosuchsection", "servercode", "d", 30), "d");
    EXPECT_EQ(file.ReadString("server", "nosuchkey", "d", 30), "d");
    // A commented-out key is no key.
    WriteBytes(dir / "settings.ini", "[server]\r\n;servercode=old\r\n");
    EXPECT_EQ(file.ReadString("server", "servercode", "d", 30), "d");
}

TEST(ProfileFile, CutsValuesToTheCapacityLessItsNul) {
    TempFolder dir;
    WriteBytes(dir / "settings.ini", "[server]\r\nservercode=" + std::string(35, 'c') + "\r\n[settings]\r\nminplayers=100\r\n");
    ProfileFile file(dir / "settings.ini");
    EXPECT_EQ(file.ReadString("server", "servercode", "", 30), std::string(29, 'c'));
    EXPECT_EQ(file.ReadString("settings", "minplayers", "0", 3), "10");
    EXPECT_EQ(file.ReadString("settings", "minplayers", "0", 2), "1");
    EXPECT_EQ(file.ReadString("settings", "minplayers", "0", 1), "");
}

TEST(ProfileFile, TakesTheFirstOfTwoAndDropsOnePairOfQuotes) {
    TempFolder dir;
    WriteBytes(dir / "settings.ini",
               "[server]\nservercode=first\nservercode=second\nupdateurl=\"  a  \"\n[Server]\nimporturl=later\n"
               "[settings]\nminplayers='7'\n");
    ProfileFile file(dir / "settings.ini");
    EXPECT_EQ(file.ReadString("server", "servercode", "", 30), "first");
    // Only the first section of a name is searched.
    EXPECT_EQ(file.ReadString("server", "importurl", "none", 100), "none");
    EXPECT_EQ(file.ReadString("server", "updateurl", "", 100), "  a  ");
    EXPECT_EQ(file.ReadString("settings", "minplayers", "", 3), "7");
}

TEST(ProfileFile, WritingChangesOnlyTheKeysLine) {
    TempFolder dir;
    WriteBytes(dir / "settings.ini", kWindowsFile);
    ProfileFile file(dir / "settings.ini");
    std::string error;
    ASSERT_TRUE(file.WriteString("server", "importurl", "http://new.example.org/i.php", error)) << error;
    ASSERT_TRUE(file.WriteString("settings", "useautomes", "0", error)) << error;
    std::string expected = kWindowsFile;
    expected.replace(expected.find("ImportURL=http://stats.example.org/tovistats/import.php"),
                     std::string("ImportURL=http://stats.example.org/tovistats/import.php").size(),
                     "ImportURL=http://new.example.org/i.php");
    expected.replace(expected.find("UseAutoMes=5"), 12, "UseAutoMes=0");
    EXPECT_EQ(ReadBytes(dir / "settings.ini"), expected);
    EXPECT_FALSE(fs::exists(dir / "settings.ini.tmp"));
}

TEST(ProfileFile, WritingAddsMissingKeysSectionsAndFiles) {
    TempFolder dir;
    ProfileFile file(dir / "settings.ini");
    std::string error;
    ASSERT_TRUE(file.WriteString("settings", "useautomes", "7", error)) << error;
    EXPECT_EQ(ReadBytes(dir / "settings.ini"), "[settings]\r\nuseautomes=7\r\n");

    // A new key joins its section before the blank line that parts it from the next one.
    WriteBytes(dir / "settings.ini", kWindowsFile);
    ASSERT_TRUE(file.WriteString("server", "newkey", "v", error)) << error;
    const std::string text = ReadBytes(dir / "settings.ini");
    EXPECT_NE(text.find("owner=someone\r\nnewkey=v\r\n\r\n[SETTINGS]"), std::string::npos) << text;

    // A last line without its line end gets one before anything follows it.
    WriteBytes(dir / "settings.ini", "; only a comment");
    ASSERT_TRUE(file.WriteString("server", "servercode", "QX", error)) << error;
    EXPECT_EQ(ReadBytes(dir / "settings.ini"), "; only a comment\r\n[server]\r\nservercode=QX\r\n");

    // A line break in a value would start a line of its own.
    ASSERT_TRUE(file.WriteString("server", "servercode", "a\r\nb", error)) << error;
    EXPECT_EQ(file.ReadString("server", "servercode", "", 30), "a  b");
}

TEST(ProfileFile, AFailedWriteSaysWhyAndLeavesTheFile) {
    TempFolder dir;
    ProfileFile file(dir / "no-such-folder" / "settings.ini");
    std::string error;
    EXPECT_FALSE(file.WriteString("server", "servercode", "QX", error));
    EXPECT_NE(error.find("settings.ini"), std::string::npos) << error;
}

class SettingsFileTest : public ::testing::Test {
protected:
    SettingsFile Make() { return SettingsFile(dir.Path(), settings, view, dialogs); }
    void Store(const std::string& text) { WriteBytes(dir / "settings.ini", text); }

    TempFolder dir;
    Settings settings;
    FakeSettingsView view;
    RecordingDialogs dialogs;
};

TEST_F(SettingsFileTest, NoFileGivesThreeWarningsInOrderAndEveryDefault) {
    SettingsFile file = Make();
    file.LoadSettings();
    EXPECT_EQ(dialogs.shown, (std::vector<std::string>{"warn: No ServerCode defined in settings.ini",
                                                       "warn: No update url defined in settings.ini",
                                                       "warn: No import url defined in settings.ini"}));
    EXPECT_EQ(settings.ServerCode, "");
    EXPECT_EQ(settings.UpdateURL, "");
    EXPECT_EQ(settings.ImportURL, "");
    // The boxes keep their example texts; automatic messages and scoring time stay off; the
    // stats minimum is 0.
    EXPECT_EQ(view.texts[SettingsText::txtUpdateURL], "http://stats.example.net/tovistats/update.php");
    EXPECT_EQ(view.texts[SettingsText::txtServerCode], "servercode");
    EXPECT_FALSE(view.boxes[SettingsBox::chkEnableAutoMessages]);
    EXPECT_FALSE(view.boxes[SettingsBox::chkScoringTime]);
    EXPECT_FALSE(view.boxes[SettingsBox::chkDisplayNextMap]);
    EXPECT_FALSE(view.boxes[SettingsBox::chkKeepArchive]);
    EXPECT_EQ(view.texts[SettingsText::txtMinPlayers], "0");
    EXPECT_EQ(view.numbers[SettingsNumber::UpDown1], 25);
    EXPECT_FALSE(fs::exists(dir / "settings.ini"));  // reading creates nothing
}

TEST_F(SettingsFileTest, AWindowsFileFillsRecordAndControls) {
    Store(kWindowsFile);
    SettingsFile file = Make();
    file.LoadServerSettings();
    EXPECT_TRUE(dialogs.shown.empty());
    EXPECT_EQ(settings.ServerCode, "QX-ONE");
    EXPECT_EQ(settings.UpdateURL, "http://stats.example.org/tovistats/update.php");
    EXPECT_EQ(settings.ImportURL, "http://stats.example.org/tovistats/import.php");
    EXPECT_EQ(view.texts[SettingsText::txtServerCode], "QX-ONE");
    EXPECT_EQ(view.texts[SettingsText::txtImportURL], "http://stats.example.org/tovistats/import.php");
    // The first half touches none of the "settings" section's controls.
    EXPECT_FALSE(view.boxes[SettingsBox::chkEnableAutoMessages]);

    file.LoadOtherSettings();
    EXPECT_TRUE(view.boxes[SettingsBox::chkEnableAutoMessages]);
    EXPECT_EQ(view.numbers[SettingsNumber::slideAutoMes], 5);
    EXPECT_EQ(view.texts[SettingsText::txtMinPlayers], "4");
    EXPECT_TRUE(view.boxes[SettingsBox::chkScoringTime]);
    EXPECT_EQ(view.texts[SettingsText::txtScoringSeconds], "30");
    EXPECT_FALSE(view.boxes[SettingsBox::chkDisplayNextMap]);
    EXPECT_TRUE(view.boxes[SettingsBox::chkKeepArchive]);
}

TEST_F(SettingsFileTest, ServerValuesWarnByTheirStoredLengthAndAreCut) {
    // A short code still counts; a URL of one letter between blanks is five characters long as
    // stored, so no warning, and is trimmed afterwards; a long code is cut to 29.
    Store("[server]\r\nservercode=QX\r\nupdateurl=\"  u  \"\r\nimporturl=" + std::string(120, 'i') + "\r\n");
    SettingsFile file = Make();
    file.LoadServerSettings();
    EXPECT_EQ(dialogs.shown, std::vector<std::string>{"warn: No ServerCode defined in settings.ini"});
    EXPECT_EQ(settings.ServerCode, "QX");
    EXPECT_EQ(view.texts[SettingsText::txtServerCode], "QX");
    EXPECT_EQ(settings.UpdateURL, "u");
    EXPECT_EQ(settings.ImportURL, std::string(99, 'i'));

    Store("[server]\r\nservercode=" + std::string(35, 'c') + "\r\n");
    dialogs.shown.clear();
    file.LoadServerSettings();
    EXPECT_EQ(settings.ServerCode, std::string(29, 'c'));
    EXPECT_EQ(dialogs.shown, (std::vector<std::string>{"warn: No update url defined in settings.ini",
                                                       "warn: No import url defined in settings.ini"}));
}

TEST_F(SettingsFileTest, NumbersOutsideTheControlsOrNotNumbersAreIgnored) {
    struct Case {
        std::string file;
        bool autoOn;
        int slider;
        std::string minPlayers;
        bool scoringOn;
        int scoringSeconds;
    };
    const Case cases[] = {
        {"useautomes=0\r\n", false, 1, "0", false, 25},
        {"useautomes=25\r\n", true, 1, "0", false, 25},   // ticked, but the slider stops at 20
        {"useautomes=x\r\n", false, 1, "0", false, 25},
        {"minplayers=100\r\n", false, 1, "10", false, 25},  // two characters: 10
        {"minplayers=16\r\n", false, 1, "0", false, 25},    // the spinner stops at 15
        {"minplayers=-1\r\n", false, 1, "0", false, 25},
        {"scoringtime=0\r\n", false, 1, "0", false, 25},
        {"scoringtime=5\r\n", false, 1, "0", true, 25},     // ticked, but the spinner starts at 10
        {"scoringtime=ab\r\n", false, 1, "0", false, 25},
        {"scoringtime=80\r\n", false, 1, "0", true, 80},
    };
    for (const Case& c : cases) {
        Store("[settings]\r\n" + c.file);
        FakeSettingsView fresh;
        SettingsFile file(dir.Path(), settings, fresh, dialogs);
        file.LoadOtherSettings();
        SCOPED_TRACE(c.file);
        EXPECT_EQ(fresh.boxes[SettingsBox::chkEnableAutoMessages], c.autoOn);
        EXPECT_EQ(fresh.numbers[SettingsNumber::slideAutoMes], c.slider);
        EXPECT_EQ(fresh.texts[SettingsText::txtMinPlayers], c.minPlayers);
        EXPECT_EQ(fresh.boxes[SettingsBox::chkScoringTime], c.scoringOn);
        EXPECT_EQ(fresh.numbers[SettingsNumber::UpDown1], c.scoringSeconds);
    }
}

TEST_F(SettingsFileTest, FlagsTickOnAnyFirstCharacterAfterZero) {
    for (const auto& [stored, ticked] : std::vector<std::pair<std::string, bool>>{
             {"0", false}, {"1", true}, {"2", true}, {"a", true}, {"", false}, {"/", false}, {"10", true}}) {
        Store("[settings]\r\nkeeparchive=" + stored + "\r\ndisplaynextmapmsg=" + stored + "\r\n");
        FakeSettingsView fresh;
        SettingsFile file(dir.Path(), settings, fresh, dialogs);
        file.LoadOtherSettings();
        EXPECT_EQ(fresh.boxes[SettingsBox::chkKeepArchive], ticked) << stored;
        EXPECT_EQ(fresh.boxes[SettingsBox::chkDisplayNextMap], ticked) << stored;
    }
}

TEST_F(SettingsFileTest, SavingServerSettingsKeepsTheTextsAsTypedAndTheRestOfTheFile) {
    Store(kWindowsFile);
    view.texts[SettingsText::txtServerCode] = "QX&2";
    view.texts[SettingsText::txtUpdateURL] = " http://u.example.org/update.php ";
    view.texts[SettingsText::txtImportURL] = "http://u.example.org/import.php";
    SettingsFile file = Make();
    file.SaveServerSettings();
    EXPECT_EQ(settings.ServerCode, "QX&2");
    EXPECT_EQ(settings.UpdateURL, " http://u.example.org/update.php ");
    EXPECT_EQ(dialogs.shown, std::vector<std::string>{"inform: Settings saved"});
    const std::string text = ReadBytes(dir / "settings.ini");
    EXPECT_EQ(text,
              "; Tovi stats settings\r\n"
              "[Server]\r\n"
              "ServerCode=QX&2\r\n"
              "UpdateUrl= http://u.example.org/update.php \r\n"
              "ImportURL=http://u.example.org/import.php\r\n"
              "owner=someone\r\n"
              "\r\n" +
                  kWindowsFile.substr(kWindowsFile.find("[SETTINGS]")));

    // The next start trims what the save kept.
    Settings reloaded;
    SettingsFile again(dir.Path(), reloaded, view, dialogs);
    again.LoadServerSettings();
    EXPECT_EQ(reloaded.UpdateURL, "http://u.example.org/update.php");
}

TEST_F(SettingsFileTest, SavingOtherSettingsWritesZeroForAClearScoringBox) {
    view.texts[SettingsText::txtMinPlayers] = "3x";  // saved as typed, ignored at the next start
    view.texts[SettingsText::txtScoringSeconds] = "40";
    view.boxes[SettingsBox::chkScoringTime] = false;
    view.boxes[SettingsBox::chkKeepArchive] = true;
    SettingsFile file = Make();
    file.SaveOtherSettings();
    EXPECT_EQ(ReadBytes(dir / "settings.ini"),
              "[settings]\r\nminplayers=3x\r\nscoringtime=0\r\ndisplaynextmapmsg=0\r\nkeeparchive=1\r\n");
    EXPECT_EQ(dialogs.shown, std::vector<std::string>{"inform: Settings saved"});

    view.boxes[SettingsBox::chkScoringTime] = true;
    file.SaveOtherSettings();
    EXPECT_EQ(file.ReadSettingValue("settings", "scoringtime", "", 3), "40");
    // The server values in memory are this save's business no more than the other way round.
    EXPECT_EQ(settings.ServerCode, "");
}

TEST_F(SettingsFileTest, WriteSettingKeepsOneKeyForOtherParts) {
    Store(kWindowsFile);
    SettingsFile file = Make();
    ASSERT_TRUE(file.WriteSetting("settings", "useautomes", "12"));
    EXPECT_EQ(file.ReadSettingValue("settings", "useautomes", "0", 3), "12");
    EXPECT_NE(ReadBytes(dir / "settings.ini").find("UseAutoMes=12\r\nminplayers=4\r\n"), std::string::npos);
}
