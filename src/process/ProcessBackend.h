#pragma once
// What MemoryClass needs from the operating system: processes, their memory and their windows.
// One implementation per platform (linux/, win32/) and one over in-process game images (image/).
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tovi {

// Why the latest call of a backend failed; kept so the program can tell the operator how to
// fix what it can fix (a permission), while MemoryClass answers 0, "" or false as it always does.
enum class AccessFailure {
    None,
    NoSuchProcess,
    PermissionDenied,
    BadAddress,
    NoWindow,
    NoWindowSystem,
    Other,
};

const char* Describe(AccessFailure failure);

// The two keys the game's console needs.
enum class GameKeystroke { Console, Enter };

// One range of a batched read: out.size() bytes at `address`. `failure` says how it went: None
// when every byte came, else why the range could not be read.
struct ReadRange {
    uint32_t address = 0;
    std::span<uint8_t> out;
    AccessFailure failure = AccessFailure::Other;
    bool ok() const { return failure == AccessFailure::None; }
};

// A top-level window and the process that owns it.
struct OwnedWindow {
    int32_t window = 0;
    int32_t pid = 0;
};

class ProcessBackend {
public:
    virtual ~ProcessBackend() = default;

    // Ids of all running processes, in the platform's order.
    virtual std::vector<int32_t> ListProcessIds() = 0;
    // Full path of the process's executable module, opened with query access only;
    // nothing when the process can't be opened or its modules can't be had.
    virtual std::optional<std::string> FirstModulePath(int32_t pid) = 0;
    // Whether the process can be opened with the access that reading and writing its memory need.
    virtual bool CanOpen(int32_t pid) = 0;
    // Transfers exactly out.size() bytes from the process; false on any failure or short transfer.
    virtual bool Read(int32_t pid, uint32_t address, std::span<uint8_t> out) = 0;
    // Transfers all of data into the process; false on any failure or short transfer.
    virtual bool Write(int32_t pid, uint32_t address, std::span<const uint8_t> data) = 0;

    // Top-level windows (windows without a parent), topmost first.
    virtual std::vector<int32_t> TopLevelWindows() = 0;
    // The first top-level window whose caption is exactly `caption`, or 0.
    virtual int32_t FindWindowByCaption(const std::string& caption) = 0;
    // The id of the process that owns the window, or 0.
    virtual int32_t WindowProcess(int32_t window) = 0;
    // The window's caption as single-byte text.
    virtual std::string WindowCaption(int32_t window) = 0;
    virtual bool SetWindowVisible(int32_t window, bool visible) = 0;
    // Posts key down and key up to the window, without waiting for it to be handled.
    virtual bool PostKeystroke(int32_t window, GameKeystroke key) = 0;

    // Reads every range on its own terms: a range that fails is marked failed and the ranges after
    // it are still read, so the result is what one Read per range would give. Platforms that move
    // many ranges in one system call do so; this default reads them one by one. Answers the
    // failure of the first range that failed, or None.
    virtual AccessFailure ReadRanges(int32_t pid, std::span<ReadRange> ranges);

    // Where a platform knows the answer without walking the windows (it keeps track of them), the
    // first top-level window, topmost first, of the process, or 0; nothing where the caller must
    // walk TopLevelWindows itself.
    virtual std::optional<int32_t> KnownProcessWindow(int32_t /*pid*/) { return std::nullopt; }
    // Likewise FindWindowByCaption and WindowProcess of its answer in one call; window 0 when none.
    virtual std::optional<OwnedWindow> KnownWindowByCaption(const std::string& /*caption*/) {
        return std::nullopt;
    }

    // Memory transfers made so far: the system calls that moved process memory. The benchmarks
    // weigh a tick by it.
    uint64_t Transfers() const { return m_transfers; }

    // Why the latest call failed; None when it succeeded.
    virtual AccessFailure LastFailure() const = 0;

    // What the operator can do when access to the game's process is refused, in this platform's
    // terms; one or two sentences.
    virtual std::string AccessRefusedAdvice() const {
        return "Run Tovi stats as the same user as the game's server.";
    }

protected:
    void CountTransfers(uint64_t n = 1) { m_transfers += n; }

private:
    uint64_t m_transfers = 0;
};

}  // namespace tovi
