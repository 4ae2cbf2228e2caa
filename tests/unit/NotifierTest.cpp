// Delivery of notices on the virtual clock, against a stand-in web receiver per sink.
#include <gtest/gtest.h>

#include <deque>
#include <tuple>

#include "Fakes.h"
#include "MatchState.h"
#include "NoticeEvents.h"
#include "NoticeSink.h"
#include "NoticeText.h"
#include "Notifier.h"

namespace tovi::testing {
namespace {

// Takes each POST and keeps it open until the test answers it.
class FakePoster : public JsonPoster {
public:
    struct Sent {
        int64_t at;
        JsonRequest request;
    };
    explicit FakePoster(VirtualScheduler& clock) : m_clock(clock) {}
    std::vector<Sent> sent;
    std::function<void(const JsonResult&)> open;
    void Post(const JsonRequest& request, std::function<void(const JsonResult&)> done) override {
        EXPECT_FALSE(open) << "a second transfer while one runs";
        sent.push_back({m_clock.Now(), request});
        open = std::move(done);
    }
    void Cancel() override { open = nullptr; }
    void Answer(int status, std::string body = {}, std::optional<int> remaining = {},
                std::optional<double> reset = {}) {
        ASSERT_TRUE(open);
        auto done = std::move(open);
        open = nullptr;
        JsonResult r;
        r.outcome = HttpOutcome::Answered;
        r.status = status;
        r.body = std::move(body);
        r.rateLimitRemaining = remaining;
        r.rateLimitResetAfterS = reset;
        done(r);
    }

private:
    VirtualScheduler& m_clock;
};

struct NotifierFixture : ::testing::Test {
    VirtualScheduler clock;
    RecordingLog log;
    MemoryNoticeQueue queue;
    FakePoster discordPoster{clock}, hookPoster{clock};
    DiscordSink discord{"https://discord.test/api/webhooks/1/x", discordPoster};
    WebhookSink hook{"https://hook.test/in", "s3cret", hookPoster,
                     [](std::string_view key, std::string_view body) {
                         return std::string(key) + "|" + std::to_string(body.size());
                     }};
    std::unique_ptr<Notifier> notifier;

    void SetUp() override {
        clock.Advance(1'800'000'000'000);  // a Unix time in ms
        discord.SetEvents({AllEvents().begin(), AllEvents().end()});
        hook.SetEvents({NoticeEvent::PlayerBanned, NoticeEvent::MatchEnd});
        notifier = std::make_unique<Notifier>(
            queue, clock, [this] { return clock.Now(); }, log);
        notifier->SetSinks({&discord, &hook});
    }
    Notice Ban(const std::string& name) {
        return AdminActionNotice(NoticeEvent::PlayerBanned, name, "Admin", "cheating");
    }
};

TEST_F(NotifierFixture, BackOffDoublesToItsCapAndRateLimitsAreObeyed) {
    notifier->Post(Ban("Alpha"));
    clock.Advance(0);
    ASSERT_EQ(discordPoster.sent.size(), 1u);
    // Failures: 5 s, 10 s, 20 s ... up to the 10 min cap.
    std::vector<int64_t> waits;
    for (int i = 0; i < 10; ++i) {
        discordPoster.Answer(500);
        const int64_t failedAt = clock.Now();
        while (!discordPoster.open) clock.Advance(100);
        waits.push_back(clock.Now() - failedAt);
    }
    EXPECT_EQ(waits, (std::vector<int64_t>{5000, 10000, 20000, 40000, 80000, 160000, 320000, 600000, 600000,
                                           600000}));
    EXPECT_TRUE(notifier->Trouble());
    // 429: exactly the time Discord names in the body, not the back-off.
    discordPoster.Answer(
        429, R"({"message": "You are being rate limited.", "retry_after": 2.5, "global": false})");
    clock.Advance(2499);
    EXPECT_FALSE(discordPoster.open);
    clock.Advance(1);
    ASSERT_TRUE(discordPoster.open);
    // Delivered, but the bucket is empty: the next notice waits for its reset; the back-off starts anew.
    notifier->Post(Ban("Bravo"));
    discordPoster.Answer(204, {}, 0, 3.0);
    EXPECT_FALSE(notifier->Trouble());
    clock.Advance(2999);
    EXPECT_FALSE(discordPoster.open);
    clock.Advance(1);
    ASSERT_TRUE(discordPoster.open);
    EXPECT_NE(discordPoster.sent.back().request.body.find("Bravo"), std::string::npos);
    discordPoster.Answer(500);
    clock.Advance(4999);
    EXPECT_FALSE(discordPoster.open);
    clock.Advance(1);
    EXPECT_TRUE(discordPoster.open);
    // A notice the receiver refuses for good is dropped, not retried for a day.
    discordPoster.Answer(400);
    EXPECT_EQ(queue.Size(), 2u);  // only the webhook's copies of the two bans: its receiver never answered
}

TEST_F(NotifierFixture, DeadSinkDelaysNoOtherAndEachSinkKeepsTheOrder) {
    // The webhook never answers; Discord takes three notices in order without waiting for it.
    for (const char* name : {"One", "Two", "Three"}) notifier->Post(Ban(name));
    clock.Advance(0);
    for (const char* name : {"One", "Two", "Three"}) {
        ASSERT_TRUE(discordPoster.open);
        EXPECT_NE(discordPoster.sent.back().request.body.find(name), std::string::npos);
        discordPoster.Answer(204);
        clock.Advance(0);
    }
    EXPECT_EQ(discordPoster.sent.size(), 3u);
    ASSERT_EQ(hookPoster.sent.size(), 1u);  // one transfer at a time
    EXPECT_EQ(queue.Size(), 3u);
    // The same id reaches every sink and every retry: receivers drop repeats by it.
    const std::string first = hookPoster.sent[0].request.body;
    const size_t idAt = first.find("\"id\":\"") + 6;
    const std::string id = first.substr(idAt, first.find('"', idAt) - idAt);
    EXPECT_NE(discordPoster.sent[0].request.body.find(id), std::string::npos);
    hookPoster.Answer(503);
    clock.Advance(5000);
    ASSERT_EQ(hookPoster.sent.size(), 2u);
    EXPECT_EQ(hookPoster.sent[1].request.body, first);
    // Signed, with the event and the id in headers.
    const auto& headers = hookPoster.sent[1].request.headers;
    auto header = [&](const std::string& name) {
        for (const auto& [n, v] : headers)
            if (n == name) return v;
        return std::string();
    };
    EXPECT_EQ(header("X-Tovi-Signature"), "sha256=s3cret|" + std::to_string(first.size()));
    EXPECT_EQ(header("Idempotency-Key"), id);
    EXPECT_EQ(header("X-Tovi-Event"), "player_banned");
}

TEST_F(NotifierFixture, NoticesOlderThanTheSetAgeAreDroppedWithALogLine) {
    notifier->SetSinks({&hook});
    notifier->Post(Ban("Old"));
    clock.Advance(0);
    for (int i = 0; i < 200 && hookPoster.open; ++i) {
        hookPoster.Answer(502);
        while (!hookPoster.open && clock.Pending() > 0 && queue.Size() > 0) clock.Advance(1000);
    }
    EXPECT_EQ(queue.Size(), 0u);
    EXPECT_FALSE(hookPoster.open);
    ASSERT_FALSE(log.lines.empty());
    EXPECT_NE(log.lines.back().find("not delivered within 24 h and is dropped"), std::string::npos)
        << log.lines.back();
    EXPECT_NE(log.lines.back().find("Player banned"), std::string::npos);
    EXPECT_GE(hookPoster.sent.back().at - hookPoster.sent.front().at, 23 * 3600 * 1000);
    EXPECT_LE(hookPoster.sent.back().at - hookPoster.sent.front().at, 24 * 3600 * 1000);
}

TEST(NoticeText, GameTextsReachDiscordInertAndJsonIsValid) {
    Notice n = AdminActionNotice(NoticeEvent::PlayerBanned, "@everyone", "**x**",
                                 "see https://evil.test <@123> \"q\"\x01 caf\xE9");
    n.id = "id";
    const std::string body = DiscordSink::Body(n);
    EXPECT_EQ(body.find("@everyone"), std::string::npos);
    EXPECT_NE(body.find("@\xE2\x80\x8B"
                        "everyone"),
              std::string::npos);
    EXPECT_NE(body.find(R"(\\*\\*x\\*\\*)"), std::string::npos);
    EXPECT_EQ(body.find("<@123"), std::string::npos);
    EXPECT_EQ(body.find("https://"), std::string::npos);
    EXPECT_NE(body.find(R"("allowed_mentions":{"parse":[]})"), std::string::npos);
    EXPECT_NE(body.find(R"(\"q\")"), std::string::npos);
    EXPECT_NE(body.find("caf\xC3\xA9"), std::string::npos);
    EXPECT_EQ(body.find('\x01'), std::string::npos);
    EXPECT_EQ(JsonString("a\"\\\n\x1f\xC3\xA9"), "\"a\\\"\\\\\\n\\u001f\xC3\xA9\"");
    EXPECT_EQ(IsoTime(1'800'000'000'123), "2027-01-15T08:00:00.123Z");
}

TEST(NoticeEvents, EventsBecomeNoticesOnceEach) {
    int64_t now = 1000;
    std::vector<Notice> posted;
    NoticeEvents events([&](Notice n) { posted.push_back(std::move(n)); }, [&] { return now; });
    events.SetSettings({5, 3});
    events.Watched().SetList("cheat*er\r\n  voteKICK  \r\n");
    ServerStatus s;
    s.ServerName = "Srv";
    s.MapName = "Island";
    PlayerTable players;
    auto tick = [&](bool attached, uint8_t state) {
        s.State = state;
        events.TickDone(attached, s, players);
    };
    tick(false, 0);  // no game when the program starts: no news
    EXPECT_TRUE(posted.empty());
    tick(true, kStateHosting);
    for (auto [name, kills, time] : {std::tuple{"A", 3, 600}, {"B", 9, 60}, {"C", 5, 1200}, {"D", 1, 30}}) {
        PlayerClass p;
        p.P_Name = name;
        p.P_Kills = kills;
        p.P_TimePlayed = time;
        players.Replace(p);
    }
    now += 754;
    events.StatsWritten(2);
    tick(true, kStateScoring);
    tick(true, kStateLoading);
    for (int minute = 0; minute < 7; ++minute) {  // not hosting: told once, after 5 minutes
        now += 60;
        tick(true, kStateWaiting);
    }
    events.ChatRead("X", "you CHEATING cheater!");
    events.ChatRead("Y", "gg");
    events.ChatRead("Z", "votekick him");
    for (int i = 0; i < 4; ++i) events.ReportOutcome("Stats upload", false, "HTTP 500");
    events.ReportOutcome("Stats upload", true, "");
    events.ReportOutcome("Stats upload", true, "");
    tick(false, 0);
    std::vector<NoticeEvent> kinds;
    for (const Notice& n : posted) kinds.push_back(n.event);
    EXPECT_EQ(kinds, (std::vector<NoticeEvent>{NoticeEvent::ServerFound, NoticeEvent::MatchEnd,
                                               NoticeEvent::NotHosting, NoticeEvent::WatchedWord,
                                               NoticeEvent::WatchedWord, NoticeEvent::ReportFailing,
                                               NoticeEvent::ReportRecovered, NoticeEvent::ServerLost}));
    EXPECT_EQ(PlainText(posted[1]),
              "Map: Island\nResult: game's code 2\nDuration: 12:34\nTop kills: 1. B (9 kills)\n2. C (5 kills)\n"
              "3. A (3 kills)\nTop time: 1. C (20 min)\n2. A (10 min)\n3. B (1 min)");
    EXPECT_EQ(posted[3].fields[0].value, "X");
    EXPECT_EQ(posted[4].fields[2].value, "votekick");
    EXPECT_EQ(posted.back().fields[1].value, "the game's process is gone or cannot be read");
    // Lost with its process still there: the notice says the window went.
    tick(true, kStateWaiting);
    events.TickDone(false, s, players, ServerLoss::Window);
    EXPECT_EQ(posted.back().event, NoticeEvent::ServerLost);
    EXPECT_EQ(posted.back().fields[1].value, "the game's window can't be found; its process still runs");

    // Found again at a score screen: the match it shows was not watched, and ends unannounced.
    posted.clear();
    tick(true, kStateScoring);
    tick(true, kStateLoading);
    ASSERT_EQ(posted.size(), 1u);
    EXPECT_EQ(posted[0].event, NoticeEvent::ServerFound);
}

TEST(NoticeEvents, TheProgramsOwnChatReadBackAndTheFreshBansPuntAreNoNews) {
    int64_t now = 1000;
    std::vector<Notice> posted;
    NoticeEvents events([&](Notice n) { posted.push_back(std::move(n)); }, [&] { return now; });
    events.Watched().SetList("cheat*\nbanned");
    auto said = [&](const std::string& text, SendOutcome outcome = SendOutcome::Sent) {
        events.SendFinished({"gtalk", text, SendNote{ActionKind::AutomaticMessage, "", "", true}, outcome});
    };
    // Read back as the game shows it: behind "Host: ", cut at the chat line, or with a ": " of
    // its own taken for a sender's.
    const std::string rules = "No cheating, no banned words. " + std::string(150, 'x');
    said(rules);
    said("Cheater is banned: wallhack");
    said("Rules: cheats get you banned");
    said("cheating is not said", SendOutcome::Cycling);
    events.ChatRead("Bob", "No cheating");  // less than a cut line: a player's
    events.ChatRead("Host", rules.substr(0, 116));
    events.ChatRead("Cheater is banned", "wallhack");
    events.ChatRead("Host", "Rules: cheats get you banned");
    ASSERT_EQ(posted.size(), 1u);
    // A player repeating a line read back already is heard, and so is a line never sent.
    events.ChatRead("Eve", "Rules: cheats get you banned");
    events.ChatRead("Host", "cheating is not said");
    said("cheat codes are banned");
    now += 3600;  // long since sent: a player's now
    events.ChatRead("Host", "cheat codes are banned");
    ASSERT_EQ(posted.size(), 4u);
    EXPECT_EQ(posted[0].fields[0].value, "Bob");
    EXPECT_EQ(posted[1].fields[0].value, "Eve");

    // "Ban for" is one notice, in the name of who banned, whatever case the name was typed in;
    // the punt of a returning player is another.
    posted.clear();
    auto enforced = [&](ActionKind action, SendOutcome outcome = SendOutcome::Sent) {
        events.SendFinished({"command", "punt 3", SendNote{action, "Cheater", "wallhack", true}, outcome});
    };
    events.BanListAction(ActionKind::BanListed, " cHEATER", "wallhack", true, "web: kim");
    enforced(ActionKind::BanEnforced);
    now += 600;
    enforced(ActionKind::BanEnforced);
    events.BanListAction(ActionKind::BanListed, "Leaver", "gone", true, "operator at the window");
    events.SendFinished(
        {"gtalk", "", SendNote{ActionKind::BanAnnouncement, "Leaver", "gone", true}, SendOutcome::Skipped});
    events.SendFinished({"command", "punt 4", SendNote{ActionKind::BanEnforced, "Leaver", "gone", true}});
    std::vector<NoticeEvent> kinds;
    for (const Notice& n : posted) kinds.push_back(n.event);
    EXPECT_EQ(kinds, (std::vector<NoticeEvent>{NoticeEvent::PlayerBanned, NoticeEvent::BanEnforced,
                                               NoticeEvent::PlayerBanned, NoticeEvent::BanEnforced}));
    EXPECT_EQ(PlainText(posted[0]), "Player:  cHEATER\nBy: web: kim\nWhy: wallhack");
    EXPECT_EQ(posted[1].fields[1].value, "the ban list");
}

}  // namespace
}  // namespace tovi::testing
