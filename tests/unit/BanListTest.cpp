// The ban list's own rules, without a game: which names an entry holds, when it ends, lifting,
// durations and presets, the warning ladder, and the CSV that carries the list between servers.
#include <gtest/gtest.h>

#include "BanCsv.h"
#include "BanList.h"
#include "BanSettings.h"
#include "Fakes.h"

using namespace tovi;
using namespace tovi::testing;

namespace {

BanEntry Ban(std::string name, int64_t issued = 1000, int64_t expires = 0) {
    BanEntry e;
    e.Name = std::move(name);
    e.Reason = "cheating";
    e.IssuedBy = "admin";
    e.IssuedAt = issued;
    e.ExpiresAt = expires;
    return e;
}

}  // namespace

TEST(BanList, NamesMatchAfterBlanksIgnoringCaseWithTheProgramsFoldingUnlessExact) {
    BanList list;
    std::string error;
    ASSERT_TRUE(list.Add(Ban("  Ren\xC9 "), error));  // René, typed with blanks around it
    BanEntry exact = Ban("BoB");
    exact.ExactCase = true;
    ASSERT_TRUE(list.Add(exact, error));
    EXPECT_EQ(list.Entries()[0].Name, "Ren\xC9");

    for (const char* same : {"Ren\xC9", "ren\xE9", "REN\xC9  ", "\tren\xC9"})
        EXPECT_TRUE(list.ActiveBanFor(same, 2000)) << same;
    for (const char* other : {"Rene", "Ren\xC9_", "Re n\xE9", "xRen\xE9", "", "Ren\xC8"})
        EXPECT_FALSE(list.ActiveBanFor(other, 2000)) << other;
    EXPECT_TRUE(list.ActiveBanFor(" BoB", 2000));
    EXPECT_FALSE(list.ActiveBanFor("bob", 2000));
    EXPECT_FALSE(list.ActiveBanFor("BOB", 2000));

    // Whatever bytes a player put in his name, he can be listed; the operator's texts hold no
    // control characters. A name of blanks only and expiry before issue are refused.
    EXPECT_TRUE(list.Add(Ban("\x01"
                             "Bob\x1b"),
                         error));
    EXPECT_TRUE(
        list.ActiveBanFor("\x01"
                          "bob\x1b",
                          2000));
    BanEntry controlled = Ban("Carl");
    controlled.Reason = "line\r\nbreak";
    EXPECT_FALSE(list.Add(controlled, error));
    EXPECT_FALSE(list.Add(Ban("   "), error));
    EXPECT_FALSE(list.Add(Ban("Carl", 1000, 1000), error));
    EXPECT_EQ(list.Entries().size(), 3u);
    // A player's record: every entry his name matches, whatever its state.
    EXPECT_EQ(list.EntriesFor("REN\xC9").size(), 1u);
    EXPECT_EQ(list.EntriesFor("bob").size(), 0u);
}

TEST(BanList, ATimedBanEndsAtItsSecondAndALiftedOneAtOnceBothStayOnRecord) {
    BanList list;
    std::string error;
    const auto timed = list.Add(Ban("Alice", 1000, 1600), error);
    const auto forever = list.Add(Ban("Mallory"), error);
    ASSERT_TRUE(timed && forever);
    EXPECT_EQ(StateOf(*list.Find(*timed), 1599), BanState::Active);
    EXPECT_TRUE(list.ActiveBanFor("alice", 1599));
    EXPECT_EQ(StateOf(*list.Find(*timed), 1600), BanState::Expired);
    EXPECT_FALSE(list.ActiveBanFor("alice", 1600));

    // Of two entries in force the one that never ends answers.
    const auto again = list.Add(Ban("ALICE", 1200, 0), error);
    EXPECT_EQ(list.ActiveBanFor("alice", 1500)->Id, *again);

    ASSERT_TRUE(list.Lift(*forever, 5000, "admin", "appeal granted", error));
    EXPECT_FALSE(list.ActiveBanFor("Mallory", 5000));
    EXPECT_EQ(StateOf(*list.Find(*forever), 5000), BanState::Lifted);
    EXPECT_EQ(list.Find(*forever)->LiftReason, "appeal granted");
    EXPECT_FALSE(list.Lift(*forever, 6000, "admin", "twice", error));
    EXPECT_EQ(list.Entries().size(), 3u);

    // Editing changes what was decided, not who decided it or when.
    BanEntry changed = *list.Find(*timed);
    changed.ExpiresAt = 9000;
    changed.IssuedBy = "someone else";
    ASSERT_TRUE(list.Edit(changed, error));
    EXPECT_EQ(list.Find(*timed)->IssuedBy, "admin");
    EXPECT_TRUE(list.ActiveBanFor("alice", 8999));
}

TEST(BanList, DurationsPresetsAndTheWarningLadder) {
    EXPECT_EQ(ParseDuration("30m"), 1800);
    EXPECT_EQ(ParseDuration("1d12h"), 129600);
    EXPECT_EQ(ParseDuration(" 2W "), 1209600);
    EXPECT_EQ(ParseDuration("never"), 0);
    for (const char* bad : {"", "d", "5", "5x", "-1d", "0d", "1d 2h", "99999999d"})
        EXPECT_FALSE(ParseDuration(bad)) << bad;
    EXPECT_EQ(DurationText(129600), "1d12h");
    EXPECT_EQ(DurationText(1209600), "2w");
    EXPECT_EQ(DurationText(0), "never");
    EXPECT_EQ(TimeLeftText(2 * 86400 + 3 * 3600 + 59), "2 days 3 hours");
    EXPECT_EQ(TimeLeftText(61), "1 minute 1 second");

    std::vector<std::string> bad;
    const auto presets =
        ParseBanPresets("7d Cheating\r\n\r\nnever  Hacking, again\r\nCheating\r\n2x Spam\r\n", &bad);
    EXPECT_EQ(presets, (std::vector<BanPreset>{{"Cheating", 604800}, {"Hacking, again", 0}}));
    EXPECT_EQ(bad.size(), 2u);
    EXPECT_EQ(ParseBanPresets(BanPresetsText(presets)), presets);

    const auto steps = ParseWarningSteps("2 punt, 3 ban 1d ,5 ban never");
    ASSERT_TRUE(steps);
    EXPECT_EQ(WarningStepsText(*steps), "2 punt, 3 ban 1d, 5 ban never");
    for (const char* wrong : {"2 kick", "3 ban, 2 punt", "0 punt", "2 punt 1d", "x ban"})
        EXPECT_FALSE(ParseWarningSteps(wrong)) << wrong;
    const WarningLadder ladder{true, 0, *steps};
    EXPECT_FALSE(ladder.StepFor(1));
    EXPECT_FALSE(ladder.StepFor(2)->Ban);
    EXPECT_EQ(ladder.StepFor(4)->BanSeconds, 86400);
    EXPECT_EQ(ladder.StepFor(9)->BanSeconds, 0);

    // Warnings count by name, ignoring case, from a time on.
    BanList list;
    std::string error;
    for (int64_t t : {100, 200, 300})
        ASSERT_TRUE(list.AddWarning({0, t == 200 ? "\xC9ve" : "\xE9VE", t, "admin", "tk"}, error));
    EXPECT_EQ(list.WarningsSince("\xE9ve", 0), 3);
    EXPECT_EQ(list.WarningsSince("\xE9ve", 200), 2);

    // The ladder is off until switched on; settings go to settings.ini and come back.
    TempFolder folder;
    EXPECT_FALSE(LoadBanSettings(folder / "settings.ini").Ladder.On);
    BanSettings s{presets, {true, 45, *steps}};
    ASSERT_TRUE(SaveBanSettings(folder / "settings.ini", s, error)) << error;
    const BanSettings loaded = LoadBanSettings(folder / "settings.ini");
    EXPECT_EQ(loaded.Presets, presets);
    EXPECT_TRUE(loaded.Ladder.On);
    EXPECT_EQ(loaded.Ladder.WindowMinutes, 45);
    EXPECT_EQ(loaded.Ladder.Steps, *steps);
}

TEST(BanCsv, ExportIsInertUtf8AndComesBackWholeWhileABadFileImportsNothing) {
    BanList list;
    std::string error;
    BanEntry a = Ban("=HYPERLINK(\"x\")", 1765033445, 1765119845);
    a.Reason = "said \"hi\", then left";
    a.Notes = "@admin -1";
    BanEntry b = Ban("Ren\xC9", 1765033445);
    b.ExactCase = true;
    b.LiftedAt = 1765040000;
    b.LiftedBy = "'+lifter";
    ASSERT_TRUE(list.Add(a, error) && list.Add(b, error));

    const std::string csv = WriteBanCsv(list.Entries());
    EXPECT_EQ(
        csv,
        "name,exact_case,reason,issued_by,issued_at,expires_at,notes,lifted_at,lifted_by,lift_reason\r\n"
        "\"'=HYPERLINK(\"\"x\"\")\",0,\"said \"\"hi\"\", then left\",admin,2025-12-06T15:04:05Z,"
        "2025-12-07T15:04:05Z,'@admin -1,,,\r\n"
        "Ren\xC3\x89,1,cheating,admin,2025-12-06T15:04:05Z,,,2025-12-06T16:53:20Z,''+lifter,\r\n");
    const BanCsvRead back = ReadBanCsv(csv);
    ASSERT_TRUE(back.Bad.empty()) << back.Bad[0];
    ASSERT_EQ(back.Entries.size(), 2u);
    EXPECT_EQ(back.Entries[0].Name, a.Name);
    EXPECT_EQ(back.Entries[0].Reason, a.Reason);
    EXPECT_EQ(back.Entries[0].Notes, a.Notes);
    EXPECT_EQ(back.Entries[0].ExpiresAt, a.ExpiresAt);
    EXPECT_EQ(back.Entries[1].Name, b.Name);
    EXPECT_TRUE(back.Entries[1].ExactCase);
    EXPECT_EQ(back.Entries[1].LiftedAt, b.LiftedAt);
    EXPECT_EQ(back.Entries[1].LiftedBy, b.LiftedBy);

    // Into another list: all of it; again: nothing new.
    BanList other;
    std::string report;
    ASSERT_TRUE(ImportBanCsv(other, "\xEF\xBB\xBF" + csv, report)) << report;
    EXPECT_EQ(report, "2 entries imported.");
    ASSERT_TRUE(ImportBanCsv(other, csv, report));
    EXPECT_EQ(report, "0 entries imported, 2 already in the list.");

    // One good line and three bad ones: nothing is taken, every bad line is named.
    const std::string bad =
        "name,reason,issued_at,expires_at\n"
        "Good,fine,2026-01-01T00:00:00Z,\n"
        "Late,x,2026-01-01T00:00:00Z,2026-02-30T00:00:00Z\n"
        "\"\",empty name,2026-01-01T00:00:00Z,\n"
        "Short,only two\n";
    EXPECT_FALSE(ImportBanCsv(other, bad, report));
    EXPECT_EQ(report,
              "Nothing was imported: the file has 3 bad lines.\r\n"
              "line 3: expires_at is no time like 2026-12-06T15:04:05Z\r\n"
              "line 4: the name is empty\r\n"
              "line 5: 2 cells where the header has 4");
    EXPECT_EQ(other.Entries().size(), 2u);
    EXPECT_FALSE(ImportBanCsv(other, "name,colour\nX,red\n", report));
    EXPECT_FALSE(ImportBanCsv(other, "name\n\"open\n", report));
    EXPECT_EQ(other.Entries().size(), 2u);
}

TEST(BanCsv, TimesAreStrictALineWithoutIssueTimeIsRefusedAndRepeatsCountOnce) {
    // Signs, out-of-range fields and impossible days are no times.
    EXPECT_EQ(ParseUtc("2026-01-01T05:09:01Z"), 1767244141);
    for (const char* t :
         {"2026-01-01T-5:-9:-1Z", "2026-01-01T+5:09:01Z", "2026-00-01T00:00:00Z", "2026-13-01T00:00:00Z",
          "2026-04-31T00:00:00Z", "2026-01-00T00:00:00Z", "2026-01-01T24:00:00Z", "2026-01-01T00:60:00Z",
          "2026-01-01T00:00:60Z", "2026-01-01T 5:09:01Z"})
        EXPECT_FALSE(ParseUtc(t)) << t;

    BanList list;
    std::string report;
    const std::string head = "name,reason,issued_at\r\n";
    EXPECT_FALSE(ImportBanCsv(list, head + "A,x,2026-01-01T-5:-9:-1Z\r\n", report));
    EXPECT_EQ(report,
              "Nothing was imported: the file has a bad line.\r\n"
              "line 2: issued_at is no time like 2026-12-06T15:04:05Z");
    EXPECT_FALSE(ImportBanCsv(list, head + "A,x,2026-01-01T00:00:00Z\r\nB,y,\r\n", report));
    EXPECT_EQ(report, "Nothing was imported: the file has a bad line.\r\nline 3: issued_at is missing");
    EXPECT_FALSE(ImportBanCsv(list, "name,reason\r\nA,x\r\n", report));
    EXPECT_TRUE(list.Entries().empty());

    // The same line twice is one entry; a line that differs in one cell is another.
    const std::string twice = head +
                              "A,x,2026-01-01T00:00:00Z\r\nA,x,2026-01-01T00:00:00Z\r\n"
                              "A,y,2026-01-01T00:00:00Z\r\nA,x,2026-01-01T00:00:00Z\r\n";
    EXPECT_EQ(ReadBanCsv(twice).Repeated, 2u);
    ASSERT_TRUE(ImportBanCsv(list, twice, report)) << report;
    EXPECT_EQ(report, "2 entries imported, 2 repeated in the file.");
    EXPECT_EQ(list.Entries().size(), 2u);
}
