#include <gtest/gtest.h>

#include <deque>
#include <string>

#include "ChatReader.h"
#include "Fakes.h"
#include "GameAddresses.h"
#include "MemoryClass.h"
#include "image/ImageBackend.h"

using namespace tovi;
using namespace tovi::testing;
using namespace std::literals;

namespace {

class ChatReaderTest : public ::testing::Test {
protected:
    image::ImageBackend backend;
    image::GameImage server;
    MemoryClass memory{backend};
    ServerStatus status;
    FakeChatList list;
    int seconds = 10;
    ChatReader reader{memory, status, list, [this] { return "21:05:" + std::to_string(seconds++); }};

    void SetUp() override {
        backend.AddServer(100, server);
        ASSERT_TRUE(memory.SetProcID(100));
    }
    // One tick with the game holding `line` in its whole chat field.
    void Tick(std::string_view line) {
        auto field = server.Bytes(game::kChatLine, game::kChatLineLength);
        std::fill(std::ranges::copy(line, field.begin()).out, field.end(), uint8_t{0});
        reader.ReadChat();
    }
};

}  // namespace

TEST_F(ChatReaderTest, TheSenderIsBeforeTheFirstColonBlankAndTheTextIsAllAfterIt) {
    Tick("Bob: nice shot");
    Tick("Player7: time: 12:30 ok: yes");
    Tick("   Server restarting  \0Carol: an older line"sv);
    Tick("Eve: " + std::string(118, 'x'));  // the whole field, no zero byte

    EXPECT_EQ(list.rows, (std::deque<std::string>{
                             "Eve|" + std::string(118, 'x') + "|21:05:13", "Host|Server restarting|21:05:12",
                             "Player7|time: 12:30 ok: yes|21:05:11", "Bob|nice shot|21:05:10"}));
}

TEST_F(ChatReaderTest, OnlyALineThatDiffersFromTheLastOneListedIsListed) {
    for (int tick = 0; tick < 10; ++tick) Tick("Bob: gg");
    EXPECT_EQ(list.rows, std::deque<std::string>{"Bob|gg|21:05:10"});

    // Nothing, blanks only, and a server gone mid-tick are no line, and the last one stays.
    Tick("");
    Tick("     ");
    backend.RemoveProcess(100);
    reader.ReadChat();
    backend.AddServer(100, server);
    ASSERT_TRUE(memory.SetProcID(100));
    Tick("  Bob: gg ");  // the same line once decoded
    EXPECT_EQ(list.rows.size(), 1u);
    EXPECT_EQ(status.LastChatLine, "Bob: gg");

    Tick("bob: gg");  // compared with letter case
    EXPECT_EQ(list.rows.size(), 2u);
}

TEST_F(ChatReaderTest, TheListKeepsTheNewestThousandRowsAndClearingItKeepsTheLastLine) {
    for (int i = 0; i <= 1001; ++i) Tick("P: line " + std::to_string(i));
    EXPECT_EQ(list.RowCount(), ChatReader::kMaxRows);
    EXPECT_EQ(list.rows.front(), "P|line 1001|21:05:1011");
    EXPECT_EQ(list.rows.back(), "P|line 2|21:05:12");

    reader.Clear();
    reader.ReadChat();  // the game still holds the line listed last
    EXPECT_TRUE(list.rows.empty());
    EXPECT_EQ(status.LastChatLine, "P: line 1001");
}
