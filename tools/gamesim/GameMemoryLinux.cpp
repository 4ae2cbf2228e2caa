#include <sys/mman.h>

#include <cerrno>
#include <cstring>
#include <sstream>

#include "GameMemory.h"
#include "image/GameImage.h"

// Older C libraries lack the name; older kernels take the flag as a mere hint, checked below.
#ifndef MAP_FIXED_NOREPLACE
#define MAP_FIXED_NOREPLACE 0x100000
#endif

namespace tovi::gamesim {

namespace {

constexpr size_t kSize = image::kImageEnd - image::kImageStart;

class MappedGameMemory final : public GameMemory {
public:
    explicit MappedGameMemory(void* base) : m_base(base) {}
    ~MappedGameMemory() override { ::munmap(m_base, kSize); }
    MappedGameMemory(const MappedGameMemory&) = delete;
    MappedGameMemory& operator=(const MappedGameMemory&) = delete;

    std::span<uint8_t> Bytes() override { return {static_cast<uint8_t*>(m_base), kSize}; }

private:
    void* m_base;
};

std::string Range() {
    std::ostringstream text;
    text << std::hex << "[0x" << image::kImageStart << ", 0x" << image::kImageEnd << ")";
    return text.str();
}

}  // namespace

std::unique_ptr<GameMemory> MapGameMemory(std::string& error) {
    void* const wanted = reinterpret_cast<void*>(static_cast<uintptr_t>(image::kImageStart));
    void* const got = ::mmap(wanted, kSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE,
                             -1, 0);
    if (got == MAP_FAILED) {
        const int code = errno;
        error = "cannot map the game's addresses " + Range() + ": " + std::strerror(code) +
                (code == EEXIST ? " (something else of this process already lies there)" : "");
        return nullptr;
    }
    if (got != wanted) {
        ::munmap(got, kSize);
        error = "the system placed the game's addresses " + Range() +
                " elsewhere; gamesim needs a kernel that honours MAP_FIXED_NOREPLACE (Linux 4.17 or later)";
        return nullptr;
    }
    return std::make_unique<MappedGameMemory>(got);
}

}  // namespace tovi::gamesim
