// On Windows the game's addresses lie inside the game's own executable image. gamesim.exe is
// linked at the game's image base (0x400000) with no relocation allowed, and a zeroed static
// region large enough to reach from just above its code to the end of the game's range; the
// game's range is that region's part from 0xA00000 on. Allocating the range at run time does
// not work: under 64-bit Wine the low addresses are already taken when a program starts.
#include <cstdint>
#include <sstream>

#include "GameMemory.h"
#include "image/GameImage.h"

namespace tovi::gamesim {

namespace {

constexpr uintptr_t kImageBase = 0x400000;
// From the image base to the end of the game's range: wherever the linker puts the region
// (after the code and data, well below 0xA00000), it covers the game's range.
constexpr size_t kRegionSize = image::kImageEnd - kImageBase;

// In .bss: no space in the file, zero pages when the program starts.
uint8_t g_region[kRegionSize];

class StaticGameMemory final : public GameMemory {
public:
    explicit StaticGameMemory(std::span<uint8_t> range) : m_range(range) {}
    std::span<uint8_t> Bytes() override { return m_range; }

private:
    std::span<uint8_t> m_range;
};

}  // namespace

std::unique_ptr<GameMemory> MapGameMemory(std::string& error) {
    const auto start = reinterpret_cast<uintptr_t>(g_region);
    const uintptr_t end = start + sizeof g_region;
    if (start > image::kImageStart || end < image::kImageEnd) {
        std::ostringstream text;
        text << std::hex << "the game's addresses [0x" << image::kImageStart << ", 0x" << image::kImageEnd
             << ") are not inside gamesim's static region [0x" << start << ", 0x" << end
             << "); gamesim.exe must be loaded at its image base 0x" << kImageBase
             << " (linked with --disable-dynamicbase)";
        error = text.str();
        return nullptr;
    }
    const size_t offset = image::kImageStart - start;
    return std::make_unique<StaticGameMemory>(
        std::span<uint8_t>(g_region).subspan(offset, image::kImageEnd - image::kImageStart));
}

}  // namespace tovi::gamesim
