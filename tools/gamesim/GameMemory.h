#pragma once
// The game's address range, reserved at the game's own addresses in this process, so that a
// program reading this process finds every value where it would find it in the game's.
#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace tovi::gamesim {

class GameMemory {
public:
    virtual ~GameMemory() = default;
    // [image::kImageStart, image::kImageEnd), zeroed at first.
    virtual std::span<uint8_t> Bytes() = 0;
};

// The range, or null with `error` set when it can't be had at exactly those addresses.
std::unique_ptr<GameMemory> MapGameMemory(std::string& error);

}  // namespace tovi::gamesim
