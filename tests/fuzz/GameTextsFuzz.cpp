// The game's texts as any server may hold them (names, map, server name, chat line: fixed-size
// fields with or without their closing zero byte) through the player and chat readers into a
// stats block, which must read one way only: one server line with six fields, one line per
// player with the name closed once.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "ChatReader.h"
#include "FuzzSupport.h"
#include "GameAddresses.h"
#include "MemoryClass.h"
#include "PlayerReader.h"
#include "StatsFile.h"
#include "Windows1252.h"
#include "image/GameImage.h"
#include "image/ImageBackend.h"

using namespace tovi;
using namespace tovi::fuzz;

namespace {

class NoPlayerList : public PlayerListView {
public:
    int rows = 0;
    int RowCount() override { return rows; }
    std::string Text(int, PlayerColumn) override { return {}; }
    int SlotPosition(int row) override { return row; }
    std::optional<int> SelectedRow() override { return std::nullopt; }
    void ClearRows() override { rows = 0; }
    void AddRow(const PlayerRow&) override { ++rows; }
    void SelectRow(int) override {}
};

class NoChatList : public ChatView {
public:
    int rows = 0;
    void InsertRowAtTop(const std::string&, const std::string&, const std::string&) override { ++rows; }
    void RemoveBottomRow() override { --rows; }
    int RowCount() override { return rows; }
    void Clear() override { rows = 0; }
};

void Fill(image::GameImage& image, uint32_t address, size_t length, FuzzedDataProvider& input) {
    const std::string bytes = input.ConsumeBytesAsString(length);
    std::span<uint8_t> field = image.Bytes(address, length);
    std::memset(field.data(), 0, field.size());
    std::memcpy(field.data(), bytes.data(), bytes.size());
}

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static image::GameImage* server = [] {
        auto* image = new image::GameImage();
        image->Initialise();
        return image;
    }();
    static image::ImageBackend backend;
    static bool added = [] {
        backend.AddServer(100, *server);
        return true;
    }();
    (void)added;
    FuzzedDataProvider input(data, size);
    MemoryClass memory(backend);
    server->SetByte(game::kGameState, 3);
    TOVI_FUZZ_CHECK(memory.SetWindow(std::string(game::kDefaultCaption)));

    const int players = input.ConsumeIntegralInRange(0, 6);
    for (int slot = 1; slot <= 6; ++slot) {
        const uint32_t at = image::GameImage::SlotAddress(slot);
        if (slot > players) {
            server->ClearSlot(slot);
            continue;
        }
        Fill(*server, at + game::slot::kName, game::slot::kNameLength, input);
        server->SetByte(at + game::slot::kTeam, input.ConsumeIntegral<uint8_t>());
    }
    Fill(*server, game::kMapName, game::kMapNameLength, input);
    Fill(*server, game::kChatLine, game::kChatLineLength, input);

    ServerStatus status;
    status.GameType = input.ConsumeIntegralInRange<uint8_t>(0, 9);
    status.MapName = CutAtNull(memory.ReadMemory(game::kMapName, game::kMapNameLength));
    PlayerTable table;
    NoPlayerList list;
    QuietLog log;
    PlayerReader reader(memory, status, table, list, log);
    reader.ReadPlayers(true, 16);
    NoChatList chat;
    ChatReader(memory, status, chat, [] { return std::string("12:00:00"); }).ReadChat();
    (void)Utf8ToWindows1252(status.MapName + status.LastChatLine);

    const std::string code = input.ConsumeRandomLengthString(40);
    const std::optional<std::string> block =
        StatsBlock(code, status, table, 1, 2, LocalTime{2004, 6, 12, 21, 5, 9});
    TOVI_FUZZ_CHECK(block.has_value());
    TOVI_FUZZ_CHECK(block->ends_with("\r\n"));
    TOVI_FUZZ_CHECK(Count(*block, "\r") == Count(*block, "\r\n") &&
                    Count(*block, "\n") == Count(*block, "\r\n"));
    TOVI_FUZZ_CHECK(Count(*block, "\r\n") == 1 + table.size());
    const std::string serverLine = block->substr(0, block->find("\r\n"));
    TOVI_FUZZ_CHECK(serverLine.starts_with("ServerInfo ") && Count(serverLine, "|**QX**|") == 5);
    for (size_t at = serverLine.size() + 2; at < block->size();) {
        const size_t end = block->find("\r\n", at);
        const std::string line = block->substr(at, end - at);
        TOVI_FUZZ_CHECK(line.starts_with("  PlayerStats ") && Count(line, "&end&") == 1);
        TOVI_FUZZ_CHECK(Count(line, "|**QX**|") == 0);
        at = end + 2;
    }
    return 0;
}
