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

TEST(ProfileFile, FindsTheFirstSectionAndKeyWithoutRegardToCaseAndAnswersTheDefaultForWhatIsMissing) {
    TempFolder dir;
    ProfileFile file(dir / "settings.ini");
    // No file: the default, without its trailing blanks and cut like a value.
    EXPECT_EQ(file.ReadString("settings", "x", "ab  ", 10), "ab");
    EXPECT_EQ(file.ReadString("settings", "x", "abcdef", 3), "ab");

    // Blanks around a name and a value are not part of them; one pair of quotes goes.
    WriteBytes(dir / "settings.ini",
               "[SERVER]\n ServerCode = first \nservercode=second\nupdateurl=\"  a  \"\n;importurl=old\n"
               "[Server]\nimporturl=later\n[settings]\nminplayers='7'\n");
    EXPECT_EQ(file.ReadString("server", "servercode", "", 30), "first");
    EXPECT_EQ(file.ReadString("server", "importurl", "none", 100),
              "none");  // commented out, or in a later section
    EXPECT_EQ(file.ReadString("server", "updateurl", "", 100), "  a  ");
    EXPECT_EQ(file.ReadString("settings", "minplayers", "", 3), "7");
    EXPECT_EQ(file.ReadString("settings", "servercode", "d", 30), "d");  // a key of another section
}

TEST(ProfileFile, ANewKeyJoinsItsSectionBeforeTheBlankLineThatPartsItFromTheNext) {
    TempFolder dir;
    WriteBytes(dir / "settings.ini", kWindowsFile);
    std::string error;
    ASSERT_TRUE(ProfileFile(dir / "settings.ini").WriteString("server", "newkey", "v", error)) << error;
    EXPECT_NE(ReadBytes(dir / "settings.ini").find("owner=someone\r\nnewkey=v\r\n\r\n[SETTINGS]"),
              std::string::npos);
}

class SettingsFileTest : public ::testing::Test {
protected:
    SettingsFile Make() { return SettingsFile(dir.Path(), settings, dialogs); }
    void Store(const std::string& text) { WriteBytes(dir / "settings.ini", text); }
    // The "settings" section as loaded over the defaults, in short: on or not, then the value.
    std::string LoadedOther() {
        OtherSettings o;
        AutoMessageSettings a;
        Make().LoadOtherSettings(o, a);
        auto flag = [](bool on) { return on ? "1" : "0"; };
        return std::string("auto ") + flag(a.On) + ":" + std::to_string(a.Minutes) + " min " +
               std::to_string(o.MinPlayers) + " scoring " + flag(o.ScoringTimeOn) + ":" +
               std::to_string(o.ScoringSeconds) + " next " + flag(o.DisplayNextMap) + " archive " +
               flag(o.KeepArchive);
    }

    TempFolder dir;
    Settings settings;
    FakeDialogs dialogs;
};

TEST_F(SettingsFileTest, NoFileGivesThreeWarningsInOrderAndEveryDefault) {
    Make().LoadServerSettings();
    EXPECT_EQ(dialogs.warnings,
              (Strings{"No ServerCode defined in settings.ini", "No update url defined in settings.ini",
                       "No import url defined in settings.ini"}));
    EXPECT_EQ(settings.ServerCode + settings.UpdateURL + settings.ImportURL, "");
    EXPECT_EQ(LoadedOther(), "auto 0:1 min 0 scoring 0:25 next 0 archive 0");
    EXPECT_FALSE(fs::exists(dir / "settings.ini"));  // reading creates nothing
}

TEST_F(SettingsFileTest, AWindowsFileFillsEverySetting) {
    Store(kWindowsFile);
    Make().LoadServerSettings();
    EXPECT_TRUE(dialogs.warnings.empty());
    EXPECT_EQ(settings, (Settings{"QX-ONE", "http://stats.example.org/tovistats/update.php",
                                  "http://stats.example.org/tovistats/import.php"}));
    EXPECT_EQ(LoadedOther(), "auto 1:5 min 4 scoring 1:30 next 0 archive 1");
}

TEST_F(SettingsFileTest, ServerValuesWarnByTheirStoredLengthAndAreCut) {
    // A short code still counts; a URL of one letter between blanks is five characters long as
    // stored, so no warning, and is trimmed afterwards; a long code is cut to 29. A URL takes
    // 2,000 characters; a longer one is never used cut, nor silently. A byte-order mark is no
    // part of the first section's name.
    Store("\xEF\xBB\xBF[server]\r\nservercode=QX\r\nupdateurl=\"  u  \"\r\nimporturl=" +
          std::string(2001, 'i') + "\r\n");
    SettingsFile file = Make();
    file.LoadServerSettings();
    EXPECT_EQ(dialogs.warnings,
              (Strings{"No ServerCode defined in settings.ini",
                       "The value of \"importurl\" in settings.ini is longer than 2000 characters and is not used; "
                       "the stats stay queued until it is corrected."}));
    EXPECT_EQ(settings.ServerCode, "QX");
    EXPECT_EQ(settings.UpdateURL, "u");
    EXPECT_EQ(settings.ImportURL, "");
    // Saving keeps the mark and finds the section behind it.
    std::string error;
    ASSERT_TRUE(file.WriteSetting("server", "servercode", "QX-2", error)) << error;
    EXPECT_TRUE(ReadBytes(dir / "settings.ini").starts_with("\xEF\xBB\xBF[server]\r\nservercode=QX-2\r\n"));

    Store("[server]\r\nservercode=" + std::string(35, 'c') + "\r\n");
    dialogs.warnings.clear();
    file.LoadServerSettings();
    EXPECT_EQ(settings.ServerCode, std::string(29, 'c'));
    EXPECT_NE(dialogs.warnings.at(0).find("\"servercode\" in settings.ini is longer than 29 characters"),
              std::string::npos);
    Store("[server]\r\nimporturl=http://stats.example.org/" + std::string(1975, 'i') + "\r\n");
    file.LoadServerSettings();
    EXPECT_EQ(settings.ImportURL.size(), 2000u);
}

TEST_F(SettingsFileTest, AFileBeyondTheLimitIsRefusedWithAWordAndTheProgramRunsOnDefaults) {
    Store("[server]\r\nservercode=QX-ONE\r\n;" + std::string(2 * 1024 * 1024, 'x') + "\r\n");
    SettingsFile file = Make();
    file.LoadServerSettings();
    ASSERT_EQ(dialogs.warnings.size(), 4u);
    EXPECT_TRUE(dialogs.warnings[0].starts_with("settings.ini was not read (")) << dialogs.warnings[0];
    EXPECT_EQ(settings.ServerCode, "");
    // Nor is it written: saving would keep nothing of what the operator sees in use.
    file.SaveOtherSettings({});
    EXPECT_TRUE(dialogs.notices.empty());
    EXPECT_TRUE(dialogs.warnings.back().starts_with("Settings not saved: ")) << dialogs.warnings.back();

    // A file saved as UTF-16 is named so, neither misread ("no server code") nor overwritten.
    const std::string utf16("\xFF\xFE[\0s\0e\0r\0v\0e\0r\0]\0", 18);
    Store(utf16);
    dialogs.warnings.clear();
    file.LoadServerSettings();
    ASSERT_FALSE(dialogs.warnings.empty());
    EXPECT_NE(dialogs.warnings[0].find("settings.ini is saved as UTF-16"), std::string::npos) << dialogs.warnings[0];
    file.SaveOtherSettings({});
    EXPECT_EQ(ReadBytes(dir / "settings.ini"), utf16);
}

TEST_F(SettingsFileTest, AFailedSaveSaysWhyAndKeepsTheValuesInUseEqualToTheFile) {
    Store(kWindowsFile);
    SettingsFile file = Make();
    file.LoadServerSettings();
    Settings typed = settings;
    typed.ServerCode = "NEW";
    // Something the program did not make stands where it writes first: it is left alone.
    fs::create_directory(dir / "settings.ini.tovistats.tmp");
    file.SaveServerSettings(typed);
    EXPECT_TRUE(dialogs.notices.empty());
    ASSERT_EQ(dialogs.warnings.size(), 1u);
    EXPECT_NE(dialogs.warnings[0].find("settings.ini.tovistats.tmp is in the way"), std::string::npos)
        << dialogs.warnings[0];
    EXPECT_TRUE(fs::is_directory(dir / "settings.ini.tovistats.tmp"));
    EXPECT_EQ(settings.ServerCode, "QX-ONE");
    EXPECT_EQ(ReadBytes(dir / "settings.ini"), kWindowsFile);
    file.SaveOtherSettings({});
    EXPECT_TRUE(dialogs.notices.empty());
    EXPECT_EQ(dialogs.warnings.size(), 2u);

    // A plain file of that name is what a run stopped while saving left: it is replaced.
    fs::remove(dir / "settings.ini.tovistats.tmp");
    WriteBytes(dir / "settings.ini.tovistats.tmp", "[server]\r\nservercode=HALF");
    file.SaveServerSettings(typed);
    EXPECT_FALSE(fs::exists(dir / "settings.ini.tovistats.tmp"));
    EXPECT_EQ(settings.ServerCode, "NEW");
    EXPECT_EQ(dialogs.notices, Strings{"Settings saved"});
}

#ifndef _WIN32
TEST_F(SettingsFileTest, SavingWritesThroughALinkAndKeepsTheFilesPermissions) {
    fs::create_directory(dir / "real");
    WriteBytes(dir / "real" / "settings.ini", kWindowsFile);
    fs::permissions(dir / "real" / "settings.ini", fs::perms::owner_read | fs::perms::owner_write);
    fs::create_symlink(fs::path("real") / "settings.ini", dir / "settings.ini");
    Make().SaveOtherSettings({});
    EXPECT_EQ(dialogs.notices, Strings{"Settings saved"});
    EXPECT_TRUE(fs::is_symlink(dir / "settings.ini"));
    EXPECT_NE(ReadBytes(dir / "real" / "settings.ini").find("KeepArchive=0"), std::string::npos);
    EXPECT_EQ(fs::status(dir / "real" / "settings.ini").permissions(),
              fs::perms::owner_read | fs::perms::owner_write);
}
#endif

TEST_F(SettingsFileTest, NumbersOutOfRangeOrNotNumbersAreIgnoredAndFlagsAreOnAfterZero) {
    // The interval stops at 20, the players at 15, and the scoring time starts at 10: a number
    // beyond them switches its setting on but leaves the value. Two characters of "100" are 10.
    const std::pair<const char*, const char*> cases[] = {
        {"useautomes=25\r\nminplayers=100\r\nscoringtime=5", "auto 1:1 min 10 scoring 1:25 next 0 archive 0"},
        {"useautomes=20\r\nminplayers=16\r\nscoringtime=80", "auto 1:20 min 0 scoring 1:80 next 0 archive 0"},
        {"useautomes=x\r\nminplayers=-1\r\nscoringtime=ab", "auto 0:1 min 0 scoring 0:25 next 0 archive 0"},
        {"keeparchive=a\r\ndisplaynextmapmsg=/", "auto 0:1 min 0 scoring 0:25 next 0 archive 1"},
        {"keeparchive=\r\ndisplaynextmapmsg=1", "auto 0:1 min 0 scoring 0:25 next 1 archive 0"},
    };
    for (auto [section, controls] : cases) {
        Store("[settings]\r\n" + std::string(section) + "\r\n");
        EXPECT_EQ(LoadedOther(), controls) << section;
    }
}

TEST_F(SettingsFileTest, SavingKeepsTheTextsAsTypedAndTheRestOfTheFileAndScoringTimeOffIsZero) {
    Store(kWindowsFile);
    Make().SaveServerSettings({"QX&2", " http://u.example.org/update.php ", "http://u.example.org/import.php"});
    EXPECT_EQ(settings.UpdateURL, " http://u.example.org/update.php ");
    EXPECT_EQ(dialogs.notices, Strings{"Settings saved"});
    EXPECT_EQ(ReadBytes(dir / "settings.ini"),
              "; Tovi stats settings\r\n"
              "[Server]\r\n"
              "ServerCode=QX&2\r\n"
              "UpdateUrl= http://u.example.org/update.php \r\n"
              "ImportURL=http://u.example.org/import.php\r\n"
              "owner=someone\r\n"
              "\r\n" +
                  kWindowsFile.substr(kWindowsFile.find("[SETTINGS]")));
    // A scoring time switched off is stored as 0, whatever its seconds.
    OtherSettings other;
    other.ScoringSeconds = 40;
    SettingsFile file = Make();
    file.SaveOtherSettings(other);
    EXPECT_EQ(file.ReadSettingValue("settings", "scoringtime", "", 3), "0");
}
