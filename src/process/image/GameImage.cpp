#include "image/GameImage.h"

#include <algorithm>
#include <charconv>
#include <cstring>

#include "GameAddresses.h"
#include "Windows1252.h"

namespace tovi::image {

namespace {

std::string_view Trim(std::string_view text) {
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
    return text;
}

}  // namespace

GameImage::GameImage() : m_owned(kImageEnd - kImageStart), m_memory(m_owned), m_start(kImageStart) {}

GameImage::GameImage(std::span<uint8_t> memory, uint32_t start) : m_memory(memory), m_start(start) {}

void GameImage::Initialise(std::string_view version) {
    SetText(game::kVersionText, 9, version);
    // The byte after the version's zero belongs to the game's next field; keep it non-zero so
    // that a reader which forgets to cut at the zero byte shows it.
    SetByte(game::kVersionText + 9, '*');
    SetDWord(game::kSlotTablePointer, static_cast<int32_t>(kSlotsStart));
    for (int slot = 0; slot < kSlotCapacity; ++slot) {
        SetByte(SlotAddress(slot) + game::slot::kNumber, static_cast<uint8_t>(slot));
    }
    SetDWord(game::kScoringTime, game::kDefaultScoringTime);
}

bool GameImage::Contains(uint32_t address, size_t length) const {
    if (address < m_start) return false;
    const uint64_t offset = address - m_start;
    return offset + length <= m_memory.size();
}

std::span<uint8_t> GameImage::Bytes(uint32_t address, size_t length) {
    if (!Contains(address, length)) return {};
    return m_memory.subspan(address - m_start, length);
}

std::span<const uint8_t> GameImage::Bytes(uint32_t address, size_t length) const {
    if (!Contains(address, length)) return {};
    return std::span<const uint8_t>(m_memory).subspan(address - m_start, length);
}

uint8_t GameImage::Byte(uint32_t address) const {
    auto bytes = Bytes(address, 1);
    return bytes.empty() ? 0 : bytes[0];
}

void GameImage::SetByte(uint32_t address, uint8_t value) {
    auto bytes = Bytes(address, 1);
    if (!bytes.empty()) bytes[0] = value;
}

int32_t GameImage::DWord(uint32_t address) const {
    auto bytes = Bytes(address, 4);
    if (bytes.empty()) return 0;
    const uint32_t value = static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
                           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
    return static_cast<int32_t>(value);
}

void GameImage::SetDWord(uint32_t address, int32_t value) {
    auto bytes = Bytes(address, 4);
    if (bytes.empty()) return;
    const auto u = static_cast<uint32_t>(value);
    for (int i = 0; i < 4; ++i) bytes[static_cast<size_t>(i)] = static_cast<uint8_t>(u >> (8 * i));
}

std::string GameImage::Text(uint32_t address, size_t capacity) const {
    auto bytes = Bytes(address, capacity);
    std::string out;
    for (uint8_t b : bytes) {
        if (b == 0) break;
        out.push_back(static_cast<char>(b));
    }
    return out;
}

void GameImage::SetText(uint32_t address, size_t capacity, std::string_view text) {
    auto bytes = Bytes(address, capacity);
    if (bytes.empty()) return;
    const size_t n = std::min(text.size(), capacity - 1);
    std::memcpy(bytes.data(), text.data(), n);
    std::fill(bytes.begin() + static_cast<std::ptrdiff_t>(n), bytes.end(), uint8_t{0});
}

uint32_t GameImage::SlotAddress(int slot) {
    return kSlotsStart + static_cast<uint32_t>(slot) * game::kSlotStride;
}

void GameImage::ClearSlot(int slot) {
    if (slot < 0 || slot >= kSlotCapacity) return;
    auto bytes = Bytes(SlotAddress(slot), game::kSlotStride);
    std::fill(bytes.begin(), bytes.end(), uint8_t{0});
    SetByte(SlotAddress(slot) + game::slot::kNumber, static_cast<uint8_t>(slot));
}

bool GameImage::IsBanned(std::string_view name) const {
    const std::string key = LowerCase1252(name);
    return std::find(m_banned.begin(), m_banned.end(), key) != m_banned.end();
}

void GameImage::PressKey(GameKeystroke key) {
    if (key == GameKeystroke::Console) {
        if (!m_consoleWorks) {
            Report("key console ignored");
            return;
        }
        SetByte(game::kConsoleOpenFlag, 1);
        Report("key console");
        return;
    }
    if (Byte(game::kConsoleOpenFlag) != 1) {
        Report("key enter ignored");
        return;
    }
    Report("key enter");
    TakeConsoleLine();
}

void GameImage::TakeConsoleLine() {
    const std::string line = Text(game::kConsoleLine, static_cast<size_t>(game::kConsoleLineCapacity));
    SetText(game::kConsoleLine, static_cast<size_t>(game::kConsoleLineCapacity), "");
    Report("line " + Quote(line));
    const Pending pending = m_pending;
    m_pending = Pending::None;
    if (pending == Pending::Talk) {
        const std::string said = "Host: " + line;
        SetText(game::kChatLine, static_cast<size_t>(game::kChatLineLength), said);
        Report("chat " + Quote(said));
    } else if (pending == Pending::Command) {
        RunServerCommand(line);
    } else if (line == "gtalk") {
        m_pending = Pending::Talk;
    } else if (line == "command") {
        m_pending = Pending::Command;
    } else {
        Report("unknown " + Quote(line));
    }
    if (m_closesAfterLine) SetByte(game::kConsoleOpenFlag, 0);
}

void GameImage::RunServerCommand(const std::string& line) {
    Report("command " + Quote(line));
    const std::string_view text = Trim(line);
    const auto space = text.find(' ');
    const std::string verb = LowerCase1252(text.substr(0, space));
    if ((verb == "punt" || verb == "ban") && space != std::string_view::npos) {
        const std::string_view arg = Trim(text.substr(space + 1));
        int number = -1;
        const auto [end, ec] = std::from_chars(arg.data(), arg.data() + arg.size(), number);
        // The command names the game's number for a slot, which need not be the slot's place;
        // of several slots with that number, a player's goes before a free one.
        const auto nameAt = [this](int place) {
            return Text(SlotAddress(place) + game::slot::kName, game::slot::kNameLength);
        };
        int slot = -1;
        const bool parsed =
            ec == std::errc() && end == arg.data() + arg.size() && number >= 0 && number <= 255;
        for (int place = 0; parsed && place < kSlotCapacity; ++place) {
            if (Byte(SlotAddress(place) + game::slot::kNumber) != number) continue;
            if (slot < 0) slot = place;
            if (!nameAt(place).empty()) {
                slot = place;
                break;
            }
        }
        if (slot < 0) {
            Report("unknown " + Quote(line));
            return;
        }
        const std::string name = nameAt(slot);
        if (verb == "ban" && !name.empty()) m_banned.push_back(LowerCase1252(name));
        Report(verb + " " + std::to_string(number) + " " +
               (name.empty() ? std::string("empty") : Quote(name)));
        ClearSlot(slot);
        return;
    }
    if (verb == "resetgames" && space == std::string_view::npos) {
        Report("resetgames");
        if (onResetGames) onResetGames();
        return;
    }
    Report("unknown " + Quote(line));
}

void GameImage::Report(const std::string& action) {
    if (onConsoleAction) onConsoleAction(action);
}

std::string Quote(std::string_view text) {
    static const char* hex = "0123456789abcdef";
    std::string out = "\"";
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '"' || c == '\\') {
            out.push_back('\\');
            out.push_back(static_cast<char>(c));
        } else if (c < 0x20 || c == 0x7f) {
            out += "\\x";
            out.push_back(hex[c >> 4]);
            out.push_back(hex[c & 15]);
        } else {
            out.push_back(static_cast<char>(c));
        }
    }
    out.push_back('"');
    return out;
}

}  // namespace tovi::image
