#pragma once
// The program's one way into the game server's process: it tracks one process (its id and its
// main window), reads and writes its memory at absolute addresses, finds the game's window and
// lists processes by executable name. Failures never escape: reads answer 0 or "", writes false.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "ProcessBackend.h"

namespace tovi {

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
        return result;
    }
    bool NoteFailure(AccessFailure failure) {
        m_failure = failure;
        return false;
    }
    bool HasWindow() const { return m_procHwnd != 0 && m_procHwnd != -1; }

    ProcessBackend& m_backend;
    int32_t m_procId = 0;
    int32_t m_procHwnd = 0;
    AccessFailure m_failure = AccessFailure::None;
};

// Whether `text` ends with `tail`, letters compared without regard to case, as executable names
// are matched.
bool EndsWithIgnoringCase(std::string_view text, std::string_view tail);

// A fixed-length game text up to its first NUL; the whole text when it holds none.
std::string CutAtNull(const std::string& text);

}  // namespace tovi
