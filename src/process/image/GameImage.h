#pragma once
// A game server's memory as the program sees it: every location it reads or writes, at the
// game's own addresses, and a console that answers keys the way the game's does. The game
// simulator keeps its state in one; unit tests of the core read and write one in-process.
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "ProcessBackend.h"

namespace tovi::image {

// The address range an image covers: all game locations, plus the player slots, which the game
// keeps below 4 GiB because the pointer to them is a 32-bit word.
inline constexpr uint32_t kImageStart = 0xA00000;
inline constexpr uint32_t kImageEnd = 0x3000000;
inline constexpr uint32_t kSlotsStart = 0x1300000;
inline constexpr int kSlotCapacity = 65;  // slots 0 to 64

class GameImage {
public:
    // An image that owns zeroed memory of its own.
    GameImage();
    // An image over memory that already lies somewhere: `memory` holds game address `start`
    // at its first byte.
    GameImage(std::span<uint8_t> memory, uint32_t start);

    GameImage(const GameImage&) = delete;
    GameImage& operator=(const GameImage&) = delete;

    // Lays out what a freshly started server has: version text, slot pointer, slot numbers,
    // the game's default scoring time.
    void Initialise(std::string_view version = "V1.5.1.5");

    bool Contains(uint32_t address, size_t length) const;
    // The bytes at [address, address + length), or an empty span when any of them lies outside.
    std::span<uint8_t> Bytes(uint32_t address, size_t length);
    std::span<const uint8_t> Bytes(uint32_t address, size_t length) const;

    uint8_t Byte(uint32_t address) const;
    void SetByte(uint32_t address, uint8_t value);
    int32_t DWord(uint32_t address) const;
    void SetDWord(uint32_t address, int32_t value);
    // The text in a field of `capacity` bytes, up to its first zero byte.
    std::string Text(uint32_t address, size_t capacity) const;
    // Fills a field of `capacity` bytes: the text, cut to leave room for one zero byte, then zeros.
    void SetText(uint32_t address, size_t capacity, std::string_view text);

    static uint32_t SlotAddress(int slot);
    void ClearSlot(int slot);

    // The console. The console key opens it (flag 1); Enter takes the input line.
    void PressKey(GameKeystroke key);
    // A console that ignores its key, as a busy or broken game would.
    void SetConsoleWorks(bool works) { m_consoleWorks = works; }
    // A console that closes after every line it takes.
    void SetConsoleClosesAfterLine(bool closes) { m_closesAfterLine = closes; }

    // Told of every console action, one line each ("console open", "line \"gtalk\"", ...).
    std::function<void(const std::string&)> onConsoleAction;
    // Asked to restart the match when "resetgames" is carried out.
    std::function<void()> onResetGames;
    // Asked whether a slot may be taken by a name (bans refuse it).
    bool IsBanned(std::string_view name) const;

private:
    void TakeConsoleLine();
    void RunServerCommand(const std::string& line);
    void Report(const std::string& action);

    std::vector<uint8_t> m_owned;
    std::span<uint8_t> m_memory;
    uint32_t m_start = kImageStart;
    enum class Pending { None, Talk, Command } m_pending = Pending::None;
    bool m_consoleWorks = true;
    bool m_closesAfterLine = false;
    std::vector<std::string> m_banned;
};

// Quotes a text for a transcript line: backslash, quote and control bytes escaped.
std::string Quote(std::string_view text);

}  // namespace tovi::image
