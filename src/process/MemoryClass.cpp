#include "MemoryClass.h"

#include <algorithm>
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

AccessFailure ProcessBackend::ReadRanges(int32_t pid, std::span<ReadRange> ranges) {
    AccessFailure first = AccessFailure::None;
    for (ReadRange& range : ranges) {
        range.failure = AccessFailure::None;
        if (!Read(pid, range.address, range.out)) {
            range.failure = LastFailure() != AccessFailure::None ? LastFailure() : AccessFailure::Other;
        }
        if (!range.ok() && first == AccessFailure::None) first = range.failure;
    }
    return first;
}

namespace {

int32_t LittleEndian(const uint8_t* b) {
    const uint32_t value = static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 |
                           static_cast<uint32_t>(b[2]) << 16 | static_cast<uint32_t>(b[3]) << 24;
    return static_cast<int32_t>(value);
}

}  // namespace

size_t ReadList::Add(uint64_t address, size_t length) {
    m_entries.push_back({address, m_bytes.size(), length, AccessFailure::Other});
    m_bytes.resize(m_bytes.size() + length);
    return m_entries.size() - 1;
}

void ReadList::clear() {
    m_entries.clear();
    m_bytes.clear();
}

uint8_t ReadList::Byte(size_t entry) const {
    const Entry& e = m_entries[entry];
    return e.failure == AccessFailure::None && e.length >= 1 ? m_bytes[e.offset] : 0;
}

int32_t ReadList::DWord(size_t entry) const {
    const Entry& e = m_entries[entry];
    return e.failure == AccessFailure::None && e.length >= 4 ? LittleEndian(&m_bytes[e.offset]) : 0;
}

std::string ReadList::Text(size_t entry) const {
    const Entry& e = m_entries[entry];
    if (e.failure != AccessFailure::None) return {};
    return std::string(reinterpret_cast<const char*>(m_bytes.data() + e.offset), e.length);
}

const ReadList::Entry* ReadList::Holding(uint32_t address, size_t length) const {
    for (const Entry& e : m_entries) {
        if (address >= e.address && address - e.address + length <= e.length) return &e;
    }
    return nullptr;
}

void MemoryClass::ReadAll(ReadList& list) {
    std::vector<ReadRange> ranges;
    std::vector<size_t> entries;
    ranges.reserve(list.m_entries.size());
    for (size_t i = 0; i < list.m_entries.size(); ++i) {
        ReadList::Entry& e = list.m_entries[i];
        e.failure = AccessFailure::BadAddress;
        if (e.address + e.length > uint64_t{1} << 32) continue;
        ranges.push_back(
            {static_cast<uint32_t>(e.address), std::span(list.m_bytes).subspan(e.offset, e.length)});
        entries.push_back(i);
    }
    if (m_procId <= 0) {
        for (ReadList::Entry& e : list.m_entries) e.failure = AccessFailure::NoSuchProcess;
        NoteFailure(AccessFailure::NoSuchProcess);
        return;
    }
    m_failure = ranges.empty() ? AccessFailure::None : m_backend.ReadRanges(m_procId, ranges);
    for (size_t r = 0; r < ranges.size(); ++r) {
        ReadList::Entry& e = list.m_entries[entries[r]];
        e.failure = ranges[r].failure;
        // A failed range leaves no partial bytes behind for anyone who looks past Ok().
        if (!ranges[r].ok()) std::fill(ranges[r].out.begin(), ranges[r].out.end(), uint8_t{0});
    }
    if (m_failure == AccessFailure::None && entries.size() < list.m_entries.size())
        m_failure = AccessFailure::BadAddress;
    if (!ranges.empty()) m_answered = !Unreachable();
}

bool MemoryClass::DropIfUnreachable() {
    if (!Unreachable()) return false;
    m_held.reset();
    return !Fail();
}

void MemoryClass::HoldReads(ReadList list) {
    m_held = std::move(list);
}

std::optional<bool> MemoryClass::FromHeld(uint32_t Address, std::span<uint8_t> out) {
    if (!m_held) return std::nullopt;
    const ReadList::Entry* e = m_held->Holding(Address, out.size());
    if (!e) return std::nullopt;
    m_failure = e->failure;
    if (e->failure != AccessFailure::None) return false;
    const auto from =
        m_held->m_bytes.begin() + static_cast<std::ptrdiff_t>(e->offset + (Address - e->address));
    std::copy(from, from + static_cast<std::ptrdiff_t>(out.size()), out.begin());
    return true;
}

bool MemoryClass::ReadBytes(uint32_t Address, std::span<uint8_t> out) {
    if (m_procId <= 0) return NoteFailure(AccessFailure::NoSuchProcess);
    if (const std::optional<bool> held = FromHeld(Address, out)) return *held;
    return Noted(m_backend.Read(m_procId, Address, out));
}

int32_t MemoryClass::ProcIDFromWnd(int32_t hwnd) { return Noted(m_backend.WindowProcess(hwnd)); }

int32_t MemoryClass::GetWinHandle(const int32_t& hInstance) {
    if (const std::optional<int32_t> known = m_backend.KnownProcessWindow(hInstance)) return Noted(*known);
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
    m_answered = false;
    m_procId = -1;
    m_procHwnd = -1;
    return false;
}

bool MemoryClass::SetWindow(const std::string& WindowCaption) {
    m_held.reset();
    int32_t window = 0;
    int32_t pid = 0;
    if (const std::optional<OwnedWindow> known = Noted(m_backend.KnownWindowByCaption(WindowCaption))) {
        window = known->window;
        pid = known->pid;
        if (window == 0) return Fail();
    } else {
        window = Noted(m_backend.FindWindowByCaption(WindowCaption));
        if (window == 0) return Fail();
        pid = Noted(m_backend.WindowProcess(window));
    }
    if (pid <= 0 || (NeedsProbe(pid) && !Noted(m_backend.CanOpen(pid)))) return Fail();
    if (pid != m_procId) m_answered = false;
    m_procHwnd = window;
    m_procId = pid;
    return true;
}

bool MemoryClass::SetProcID(const int32_t& ProcessID) {
    m_held.reset();
    if (ProcessID <= 0) {
        NoteFailure(AccessFailure::NoSuchProcess);
        return Fail();
    }
    if (NeedsProbe(ProcessID) && !Noted(m_backend.CanOpen(ProcessID))) return Fail();
    const int32_t window = GetWinHandle(ProcessID);
    if (window == 0) return Fail();
    if (ProcessID != m_procId) m_answered = false;
    m_procHwnd = window;
    m_procId = ProcessID;
    return true;
}

uint8_t MemoryClass::ReadAByte(uint32_t Address) {
    std::array<uint8_t, 1> buffer{};
    return ReadBytes(Address, buffer) ? buffer[0] : 0;
}

int32_t MemoryClass::ReadDWord(uint32_t Address) {
    std::array<uint8_t, 4> b{};
    return ReadBytes(Address, b) ? LittleEndian(b.data()) : 0;
}

std::string MemoryClass::ReadMemory(uint32_t Address, const int16_t& Length) {
    if (m_procId <= 0 || Length < 0) {
        NoteFailure(m_procId <= 0 ? AccessFailure::NoSuchProcess : AccessFailure::BadAddress);
        return {};
    }
    std::string text(static_cast<size_t>(Length), '\0');
    auto bytes = std::span<uint8_t>(reinterpret_cast<uint8_t*>(text.data()), text.size());
    if (!ReadBytes(Address, bytes)) return {};
    return text;
}

bool MemoryClass::WriteAByte(uint32_t Address, uint8_t MyByte) {
    m_held.reset();
    const std::array<uint8_t, 1> buffer{MyByte};
    if (m_procId <= 0) return NoteFailure(AccessFailure::NoSuchProcess);
    return Noted(m_backend.Write(m_procId, Address, buffer));
}

bool MemoryClass::WriteDWord(uint32_t Address, int32_t MyLong) {
    m_held.reset();
    const auto u = static_cast<uint32_t>(MyLong);
    const std::array<uint8_t, 4> b{static_cast<uint8_t>(u), static_cast<uint8_t>(u >> 8),
                                   static_cast<uint8_t>(u >> 16), static_cast<uint8_t>(u >> 24)};
    if (m_procId <= 0) return NoteFailure(AccessFailure::NoSuchProcess);
    return Noted(m_backend.Write(m_procId, Address, b));
}

bool MemoryClass::WriteMemory(uint32_t Address, const std::string& Data, const bool& EndingZero) {
    m_held.reset();
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
