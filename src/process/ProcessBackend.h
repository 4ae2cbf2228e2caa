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

    // Why the latest call failed; None when it succeeded.
    virtual AccessFailure LastFailure() const = 0;

    // What the operator can do when access to the game's process is refused, in this platform's
    // terms; one or two sentences.
    virtual std::string AccessRefusedAdvice() const {
        return "Run Tovi stats as the same user as the game's server.";
    }
};

}  // namespace tovi
