#include "MemoryClass.h"

#include <array>

#include "Windows1252.h"

namespace tovi {

bool EndsWithIgnoringCase(std::string_view text, std::string_view tail) {
    return text.size() >= tail.size() && EqualIgnoringCase(text.substr(text.size() - tail.size()), tail);
}

const char* Describe(AccessFailure failure) {
    switch (failure) {
    case AccessFailure::None: return "no failure";
    case AccessFailure::NoSuchProcess: return "the process is not running";
    case AccessFailure::PermissionDenied: return "access to the process was refused";
    case AccessFailure::BadAddress: return "the address is not mapped in the process";
    case AccessFailure::NoWindow: return "the window does not exist";
    case AccessFailure::NoWindowSystem: return "there is no window system to reach the window";
    case AccessFailure::Other: return "the operating system refused the call";
    }
    return "unknown failure";
}

int32_t MemoryClass::ProcIDFromWnd(int32_t hwnd) { return Noted(m_backend.WindowProcess(hwnd)); }

int32_t MemoryClass::GetWinHandle(const int32_t& hInstance) {
    const std::vector<int32_t> windows = m_backend.TopLevelWindows();
    const AccessFailure listing = m_backend.LastFailure();
    for (int32_t window : windows) {
        if (m_backend.WindowProcess(window) == hInstance) {
            m_failure = AccessFailure::None;
            return window;
        }
    }
    m_failure = listing != AccessFailure::None ? listing : AccessFailure::NoWindow;
    return 0;
}

std::string MemoryClass::GetWinCaption(int32_t hwnd) {
    if (hwnd == 0) {
        m_failure = AccessFailure::NoWindow;
        return {};
    }
    return Noted(m_backend.WindowCaption(hwnd));
}

void MemoryClass::ListProcesses(std::vector<std::string>& arrResult, const std::string& Filter) {
    for (int32_t pid : m_backend.ListProcessIds()) {
        const auto path = m_backend.FirstModulePath(pid);
        if (!path || !EndsWithIgnoringCase(*path, Filter)) continue;
        arrResult.push_back(std::to_string(pid) + "|" + *path);
    }
    // Processes that could not be looked into are passed over, as they would be had they ended.
    m_failure = AccessFailure::None;
}

bool MemoryClass::Fail() {
    m_procId = -1;
    m_procHwnd = -1;
    return false;
}

bool MemoryClass::SetWindow(const std::string& WindowCaption) {
    const int32_t window = Noted(m_backend.FindWindowByCaption(WindowCaption));
    if (window == 0) return Fail();
    const int32_t pid = Noted(m_backend.WindowProcess(window));
    if (pid <= 0 || !Noted(m_backend.CanOpen(pid))) return Fail();
    m_procHwnd = window;
    m_procId = pid;
    return true;
}

bool MemoryClass::SetProcID(const int32_t& ProcessID) {
    if (ProcessID <= 0) {
        NoteFailure(AccessFailure::NoSuchProcess);
        return Fail();
    }
    if (!Noted(m_backend.CanOpen(ProcessID))) return Fail();
    const int32_t window = GetWinHandle(ProcessID);
    if (window == 0) return Fail();
    m_procHwnd = window;
    m_procId = ProcessID;
    return true;
}

uint8_t MemoryClass::ReadAByte(uint32_t Address) {
    std::array<uint8_t, 1> buffer{};
    if (m_procId <= 0) {
        NoteFailure(AccessFailure::NoSuchProcess);
        return 0;
    }
    if (!Noted(m_backend.Read(m_procId, Address, buffer))) return 0;
    return buffer[0];
}

int32_t MemoryClass::ReadDWord(uint32_t Address) {
    std::array<uint8_t, 4> b{};
    if (m_procId <= 0) {
        NoteFailure(AccessFailure::NoSuchProcess);
        return 0;
    }
    if (!Noted(m_backend.Read(m_procId, Address, b))) return 0;
    const uint32_t value = static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 |
                           static_cast<uint32_t>(b[2]) << 16 | static_cast<uint32_t>(b[3]) << 24;
    return static_cast<int32_t>(value);
}

std::string MemoryClass::ReadMemory(uint32_t Address, const int16_t& Length) {
    if (m_procId <= 0 || Length < 0) {
        NoteFailure(m_procId <= 0 ? AccessFailure::NoSuchProcess : AccessFailure::BadAddress);
        return {};
    }
    std::string text(static_cast<size_t>(Length), '\0');
    auto bytes = std::span<uint8_t>(reinterpret_cast<uint8_t*>(text.data()), text.size());
    if (!Noted(m_backend.Read(m_procId, Address, bytes))) return {};
    return text;
}

bool MemoryClass::WriteAByte(uint32_t Address, uint8_t MyByte) {
    const std::array<uint8_t, 1> buffer{MyByte};
    if (m_procId <= 0) return NoteFailure(AccessFailure::NoSuchProcess);
    return Noted(m_backend.Write(m_procId, Address, buffer));
}

bool MemoryClass::WriteDWord(uint32_t Address, int32_t MyLong) {
    const auto u = static_cast<uint32_t>(MyLong);
    const std::array<uint8_t, 4> b{static_cast<uint8_t>(u), static_cast<uint8_t>(u >> 8),
                                   static_cast<uint8_t>(u >> 16), static_cast<uint8_t>(u >> 24)};
    if (m_procId <= 0) return NoteFailure(AccessFailure::NoSuchProcess);
    return Noted(m_backend.Write(m_procId, Address, b));
}

bool MemoryClass::WriteMemory(uint32_t Address, const std::string& Data, const bool& EndingZero) {
    if (m_procId <= 0) return NoteFailure(AccessFailure::NoSuchProcess);
    std::string bytes = Data;
    if (EndingZero) bytes.push_back('\0');
    return Noted(m_backend.Write(
        m_procId, Address, std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size())));
}

bool MemoryClass::ShowGameWindow(bool visible) {
    if (!HasWindow()) return NoteFailure(AccessFailure::NoWindow);
    return Noted(m_backend.SetWindowVisible(m_procHwnd, visible));
}

bool MemoryClass::PressKey(GameKeystroke key) {
    if (!HasWindow()) return NoteFailure(AccessFailure::NoWindow);
    return Noted(m_backend.PostKeystroke(m_procHwnd, key));
}

std::string CutAtNull(const std::string& text) {
    const auto nul = text.find('\0');
    return nul == std::string::npos ? text : text.substr(0, nul);
}

}  // namespace tovi
