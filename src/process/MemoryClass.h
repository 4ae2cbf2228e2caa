#pragma once
// The program's one way into the game server's process: it tracks one process (its id and its
// main window), reads and writes its memory at absolute addresses, finds the game's window and
// lists processes by executable name. Failures never escape: reads answer 0 or "", writes false.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "ProcessBackend.h"

namespace tovi {

// Reads to be done together, in one transfer where the platform allows. Each value comes out as
// its own read would give it: 0 or "" when its range failed, whatever became of the others.
class ReadList {
public:
    // Adds `length` bytes at `address` and answers the entry's index. A range that reaches beyond
    // the 32-bit address space, where the game has no memory, is never read and counts as failed.
    size_t Add(uint64_t address, size_t length);
    size_t size() const { return m_entries.size(); }
    void clear();

    bool Ok(size_t entry) const { return m_entries[entry].failure == AccessFailure::None; }
    AccessFailure Failure(size_t entry) const { return m_entries[entry].failure; }
    uint8_t Byte(size_t entry) const;
    int32_t DWord(size_t entry) const;
    // Exactly the entry's length in characters, NULs included; "" when it failed.
    std::string Text(size_t entry) const;

private:
    friend class MemoryClass;
    struct Entry {
        uint64_t address = 0;
        size_t offset = 0;  // into m_bytes
        size_t length = 0;
        AccessFailure failure = AccessFailure::Other;
    };
    // The entry holding all of [address, address + length), if one does.
    const Entry* Holding(uint32_t address, size_t length) const;

    std::vector<Entry> m_entries;
    std::vector<uint8_t> m_bytes;
};

class MemoryClass {
public:
    explicit MemoryClass(ProcessBackend& backend) : m_backend(backend) {}

    int32_t ProcIDFromWnd(int32_t hwnd);
    int32_t GetWinHandle(const int32_t& hInstance);
    std::string GetWinCaption(int32_t hwnd);
    void ListProcesses(std::vector<std::string>& arrResult, const std::string& Filter);
    bool SetWindow(const std::string& WindowCaption);
    bool SetProcID(const int32_t& ProcessID);
    int32_t GetProcID() const { return m_procId; }
    int32_t GetProcHwnd() const { return m_procHwnd; }
    uint8_t ReadAByte(uint32_t Address);
    int32_t ReadDWord(uint32_t Address);
    std::string ReadMemory(uint32_t Address, const int16_t& Length);
    bool WriteAByte(uint32_t Address, uint8_t MyByte);
    bool WriteDWord(uint32_t Address, int32_t MyLong);
    bool WriteMemory(uint32_t Address, const std::string& Data, const bool& EndingZero);

    // Reads every entry of the list from the tracked process; failed entries read as failed.
    void ReadAll(ReadList& list);
    // Lets the reads that follow answer from `list` where it holds their bytes, without asking the
    // process again, until ReleaseReads, a write or an attach. A poll tick reads what it needs in one
    // transfer this way and takes its values as of the tick's start.
    void HoldReads(ReadList list);
    void ReleaseReads() { m_held.reset(); }
    // After a transfer: when the process is gone or refuses access, forgets it as a failed attach
    // would, and answers true.
    bool DropIfUnreachable();

    // Window control of the tracked process's main window.
    bool ShowGameWindow(bool visible);
    bool PressKey(GameKeystroke key);

    // The backend behind this accessor, for another accessor of the same platform.
    ProcessBackend& Backend() const { return m_backend; }

    // Why this accessor's latest call failed, as the backend saw it; None after a call that
    // succeeded. Another accessor over the same backend has its own.
    AccessFailure LastFailure() const { return m_failure; }

private:
    bool Fail();
    // Takes the backend's word on the call just made.
    template <typename T> T Noted(T result) {
        m_failure = m_backend.LastFailure();
        if (Unreachable()) m_answered = false;
        return result;
    }
    bool NoteFailure(AccessFailure failure) {
        m_failure = failure;
        if (Unreachable()) m_answered = false;
        return false;
    }
    bool Unreachable() const {
        return m_failure == AccessFailure::NoSuchProcess || m_failure == AccessFailure::PermissionDenied;
    }
    // Attaching again to the process in hand needs no probe of its access when its latest transfer
    // was answered: the next transfer meets the same check, and DropIfUnreachable acts on it.
    bool NeedsProbe(int32_t pid) const { return pid != m_procId || !m_answered; }
    bool HasWindow() const { return m_procHwnd != 0 && m_procHwnd != -1; }
    // The held bytes of [Address, Address + out.size()), when held; the result when so.
    std::optional<bool> FromHeld(uint32_t Address, std::span<uint8_t> out);
    bool ReadBytes(uint32_t Address, std::span<uint8_t> out);

    ProcessBackend& m_backend;
    int32_t m_procId = 0;
    int32_t m_procHwnd = 0;
    bool m_answered = false;  // the tracked process answered its latest transfer
    AccessFailure m_failure = AccessFailure::None;
    std::optional<ReadList> m_held;
};

// Whether `text` ends with `tail`, letters compared without regard to case, as executable names
// are matched.
bool EndsWithIgnoringCase(std::string_view text, std::string_view tail);

// A fixed-length game text up to its first NUL; the whole text when it holds none.
std::string CutAtNull(const std::string& text);

}  // namespace tovi
