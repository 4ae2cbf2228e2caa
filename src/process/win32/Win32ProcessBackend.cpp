#include "win32/Win32ProcessBackend.h"

#include <windows.h>
// After windows.h, whose types it uses.
#include <psapi.h>

#include <algorithm>
#include <array>
#include <vector>

#include "PlatformBackend.h"

namespace tovi::win32_backend {

namespace {

// A process handle that is closed whatever happens.
class ProcessHandle {
public:
    ProcessHandle(DWORD access, int32_t pid)
        : m_handle(::OpenProcess(access, FALSE, static_cast<DWORD>(pid))) {}
    ~ProcessHandle() {
        if (m_handle) ::CloseHandle(m_handle);
    }
    ProcessHandle(const ProcessHandle&) = delete;
    ProcessHandle& operator=(const ProcessHandle&) = delete;
    bool valid() const { return m_handle != nullptr; }
    HANDLE get() const { return m_handle; }

private:
    HANDLE m_handle;
};

constexpr DWORD kReadAccess = PROCESS_VM_READ;
constexpr DWORD kWriteAccess = PROCESS_VM_WRITE | PROCESS_VM_OPERATION;
// EnumProcessModules needs both; nothing less lets the module list be read.
constexpr DWORD kModuleAccess = PROCESS_QUERY_INFORMATION | PROCESS_VM_READ;

constexpr size_t kFirstIdCapacity = 4;
constexpr size_t kModuleCapacity = 50;
constexpr DWORD kPathCapacity = 260;   // MAX_PATH
constexpr int kCaptionCapacity = 256;  // with the ending zero
// A bound on the walk through the window list, in case it changes into a loop while walked.
constexpr size_t kMaxWindows = 1 << 16;

// Window handles have 32 significant bits; the rest is their sign extension.
HWND ToHwnd(int32_t window) {
    return reinterpret_cast<HWND>(static_cast<intptr_t>(window));
}
int32_t FromHwnd(HWND window) {
    return static_cast<int32_t>(reinterpret_cast<intptr_t>(window));
}

void* RemoteAddress(uint32_t address) {
    return reinterpret_cast<void*>(static_cast<uintptr_t>(address));
}

// What a Win32 error code means to the program. An OpenProcess failure with
// ERROR_INVALID_PARAMETER says that no process has the id.
AccessFailure FailureFromError(DWORD error, bool opening) {
    switch (error) {
        case ERROR_ACCESS_DENIED:
            return AccessFailure::PermissionDenied;
        case ERROR_INVALID_PARAMETER:
            return opening ? AccessFailure::NoSuchProcess : AccessFailure::Other;
        case ERROR_PARTIAL_COPY:
        case ERROR_NOACCESS:
            return AccessFailure::BadAddress;
        case ERROR_INVALID_WINDOW_HANDLE:
            return AccessFailure::NoWindow;
        default:
            return AccessFailure::Other;
    }
}

// Whether the process has ended. An ended process can still be opened while anyone holds a
// handle to it (the program that started it, or Wine for a moment after the end); only its
// memory is gone. Asking needs nothing but the right to wait for it.
bool HasEnded(int32_t pid) {
    ProcessHandle process(SYNCHRONIZE, pid);
    if (!process.valid()) return ::GetLastError() == ERROR_INVALID_PARAMETER;
    return ::WaitForSingleObject(process.get(), 0) == WAIT_OBJECT_0;
}

}  // namespace

bool Win32ProcessBackend::Failed(AccessFailure failure) {
    m_failure = failure;
    return false;
}

bool Win32ProcessBackend::FailedWithLastError(bool opening) {
    return Failed(FailureFromError(::GetLastError(), opening));
}

bool Win32ProcessBackend::TransferFailed(int32_t pid) {
    const DWORD error = ::GetLastError();
    if (HasEnded(pid)) return Failed(AccessFailure::NoSuchProcess);
    // The handle was granted the access the transfer needs, so a refusal now is about the
    // pages, not the process: Wine answers so for pages that aren't mapped.
    if (error == ERROR_ACCESS_DENIED) return Failed(AccessFailure::BadAddress);
    return Failed(FailureFromError(error, false));
}

std::string Win32ProcessBackend::AccessRefusedAdvice() const {
    return "Run Tovi stats as the same user as the game's server, or as an administrator (\"Run as "
           "administrator\") when the server runs elevated or as a service.";
}

std::vector<int32_t> Win32ProcessBackend::ListProcessIds() {
    m_failure = AccessFailure::None;
    // The call can't say how many ids there are: a buffer it fills completely may have been
    // too small, so it is doubled until some room is left over.
    std::vector<DWORD> ids(kFirstIdCapacity);
    DWORD bytes = 0;
    for (;;) {
        const auto capacity = static_cast<DWORD>(ids.size() * sizeof(DWORD));
        if (!::EnumProcesses(ids.data(), capacity, &bytes)) {
            FailedWithLastError(false);
            return {};
        }
        if (bytes < capacity) break;
        ids.resize(ids.size() * 2);
    }
    std::vector<int32_t> result;
    result.reserve(bytes / sizeof(DWORD));
    for (size_t i = 0; i < bytes / sizeof(DWORD); ++i) result.push_back(static_cast<int32_t>(ids[i]));
    return result;
}

std::optional<std::string> Win32ProcessBackend::FirstModulePath(int32_t pid) {
    m_failure = AccessFailure::None;
    ProcessHandle process(kModuleAccess, pid);
    if (!process.valid()) {
        FailedWithLastError(true);
        return std::nullopt;
    }
    // The first module listed is the executable.
    std::array<HMODULE, kModuleCapacity> modules{};
    DWORD needed = 0;
    if (!::EnumProcessModules(process.get(), modules.data(), static_cast<DWORD>(sizeof modules), &needed)) {
        FailedWithLastError(false);
        return std::nullopt;
    }
    if (needed < sizeof(HMODULE)) {
        Failed(AccessFailure::Other);
        return std::nullopt;
    }
    std::array<char, kPathCapacity> path{};
    const DWORD length = ::GetModuleFileNameExA(process.get(), modules[0], path.data(), kPathCapacity);
    if (length == 0) {
        FailedWithLastError(false);
        return std::nullopt;
    }
    return std::string(path.data(), length);
}

bool Win32ProcessBackend::CanOpen(int32_t pid) {
    m_failure = AccessFailure::None;
    if (pid <= 0) return Failed(AccessFailure::NoSuchProcess);
    ProcessHandle process(kReadAccess | kWriteAccess, pid);
    if (!process.valid()) return FailedWithLastError(true);
    return true;
}

bool Win32ProcessBackend::Read(int32_t pid, uint32_t address, std::span<uint8_t> out) {
    m_failure = AccessFailure::None;
    if (pid <= 0) return Failed(AccessFailure::NoSuchProcess);
    if (out.empty()) return true;
    ProcessHandle process(kReadAccess, pid);
    if (!process.valid()) return FailedWithLastError(true);
    SIZE_T done = 0;
    CountTransfers();
    if (!::ReadProcessMemory(process.get(), RemoteAddress(address), out.data(), out.size(), &done)) {
        return TransferFailed(pid);
    }
    if (done != out.size()) return Failed(AccessFailure::BadAddress);
    return true;
}

// ReadProcessMemory takes one range a call. Ranges close together (the game's server-wide values,
// a slot's ping and the next slot's head) are read as one span through a single handle; a span that
// fails is read again range by range, so that each range fails only on its own account.
AccessFailure Win32ProcessBackend::ReadRanges(int32_t pid, std::span<ReadRange> ranges) {
    m_failure = AccessFailure::None;
    AccessFailure first = AccessFailure::None;
    const auto fail = [&](ReadRange& range, AccessFailure failure) {
        range.failure = failure;
        if (first == AccessFailure::None) first = failure;
    };
    if (ranges.empty()) return first;
    ProcessHandle process(kReadAccess, pid);
    if (pid <= 0 || !process.valid()) {
        if (pid <= 0) {
            Failed(AccessFailure::NoSuchProcess);
        } else {
            FailedWithLastError(true);
        }
        const AccessFailure failure = m_failure;
        for (ReadRange& range : ranges) fail(range, failure);
        return first;
    }
    const auto readOne = [&](ReadRange& range) {
        SIZE_T done = 0;
        CountTransfers();
        if (::ReadProcessMemory(process.get(), RemoteAddress(range.address), range.out.data(),
                                range.out.size(), &done) &&
            done == range.out.size()) {
            range.failure = AccessFailure::None;
            return;
        }
        TransferFailed(pid);
        fail(range, m_failure);
    };

    // A gap up to this size is read along with its neighbours rather than costing a call of its own.
    constexpr uint64_t kMergeGap = 8 * 1024;
    constexpr uint64_t kMaxSpan = 64 * 1024;
    std::vector<size_t> order;
    for (size_t i = 0; i < ranges.size(); ++i) {
        if (ranges[i].out.empty()) {
            ranges[i].failure = AccessFailure::None;
        } else {
            order.push_back(i);
        }
    }
    std::sort(order.begin(), order.end(),
              [&](size_t a, size_t b) { return ranges[a].address < ranges[b].address; });
    std::vector<uint8_t> span;
    for (size_t begin = 0; begin < order.size();) {
        const uint64_t start = ranges[order[begin]].address;
        uint64_t end = start + ranges[order[begin]].out.size();
        size_t stop = begin + 1;
        for (; stop < order.size(); ++stop) {
            const ReadRange& next = ranges[order[stop]];
            const uint64_t nextEnd = std::max<uint64_t>(end, next.address + next.out.size());
            if (next.address > end + kMergeGap || nextEnd - start > kMaxSpan) break;
            end = nextEnd;
        }
        if (stop - begin == 1) {
            readOne(ranges[order[begin]]);
            begin = stop;
            continue;
        }
        span.assign(static_cast<size_t>(end - start), 0);
        SIZE_T done = 0;
        CountTransfers();
        const bool whole = ::ReadProcessMemory(process.get(), RemoteAddress(static_cast<uint32_t>(start)),
                                               span.data(), span.size(), &done) &&
                           done == span.size();
        for (size_t k = begin; k < stop; ++k) {
            ReadRange& range = ranges[order[k]];
            if (!whole) {
                readOne(range);
                continue;
            }
            std::copy_n(span.begin() + static_cast<std::ptrdiff_t>(range.address - start), range.out.size(),
                        range.out.begin());
            range.failure = AccessFailure::None;
        }
        begin = stop;
    }
    m_failure = first;
    return first;
}

bool Win32ProcessBackend::Write(int32_t pid, uint32_t address, std::span<const uint8_t> data) {
    m_failure = AccessFailure::None;
    if (pid <= 0) return Failed(AccessFailure::NoSuchProcess);
    if (data.empty()) return true;
    ProcessHandle process(kWriteAccess, pid);
    if (!process.valid()) return FailedWithLastError(true);
    SIZE_T done = 0;
    if (!::WriteProcessMemory(process.get(), RemoteAddress(address), data.data(), data.size(), &done)) {
        return TransferFailed(pid);
    }
    if (done != data.size()) return Failed(AccessFailure::BadAddress);
    return true;
}

std::vector<int32_t> Win32ProcessBackend::TopLevelWindows() {
    m_failure = AccessFailure::None;
    std::vector<int32_t> windows;
    // FindWindow with neither class nor caption answers the topmost top-level window; the
    // rest follow in z-order. Owned windows (a dialog, a tool window) are passed over, and so
    // are windows both hidden and disabled: the input method's "Default IME" window that every
    // program with a window gets, unowned, and at times above the main window. A main window
    // hidden by us stays enabled and is still listed.
    HWND window = ::FindWindowA(nullptr, nullptr);
    for (size_t seen = 0; window != nullptr && seen < kMaxWindows; ++seen) {
        const bool helper = !::IsWindowVisible(window) && !::IsWindowEnabled(window);
        if (::GetParent(window) == nullptr && !helper) windows.push_back(FromHwnd(window));
        window = ::GetWindow(window, GW_HWNDNEXT);
    }
    return windows;
}

int32_t Win32ProcessBackend::FindWindowByCaption(const std::string& caption) {
    m_failure = AccessFailure::None;
    const HWND window = ::FindWindowExA(nullptr, nullptr, nullptr, caption.c_str());
    if (window == nullptr) {
        Failed(AccessFailure::NoWindow);
        return 0;
    }
    return FromHwnd(window);
}

int32_t Win32ProcessBackend::WindowProcess(int32_t window) {
    m_failure = AccessFailure::None;
    DWORD pid = 0;
    if (window == 0 || ::GetWindowThreadProcessId(ToHwnd(window), &pid) == 0 || pid == 0) {
        Failed(AccessFailure::NoWindow);
        return 0;
    }
    return static_cast<int32_t>(pid);
}

std::string Win32ProcessBackend::WindowCaption(int32_t window) {
    m_failure = AccessFailure::None;
    std::array<char, kCaptionCapacity> text{};
    // An empty caption and a failure both answer 0; only the last error tells them apart.
    ::SetLastError(ERROR_SUCCESS);
    const int length = ::GetWindowTextA(ToHwnd(window), text.data(), kCaptionCapacity);
    if (length <= 0) {
        if (::GetLastError() != ERROR_SUCCESS) FailedWithLastError(false);
        return {};
    }
    return std::string(text.data(), static_cast<size_t>(length));
}

bool Win32ProcessBackend::SetWindowVisible(int32_t window, bool visible) {
    m_failure = AccessFailure::None;
    // ShowWindow answers whether the window was visible before, not whether it succeeded.
    if (window == 0 || !::IsWindow(ToHwnd(window))) return Failed(AccessFailure::NoWindow);
    // Other errors it leaves behind come from its inner steps and don't mean the window stayed as it was.
    ::SetLastError(ERROR_SUCCESS);
    ::ShowWindow(ToHwnd(window), visible ? SW_SHOW : SW_HIDE);
    if (::GetLastError() == ERROR_INVALID_WINDOW_HANDLE) return Failed(AccessFailure::NoWindow);
    return true;
}

bool Win32ProcessBackend::PostKeystroke(int32_t window, GameKeystroke key) {
    m_failure = AccessFailure::None;
    // The grave/tilde key (VK_OEM_3) opens the game's console; Enter takes its line.
    const WPARAM code = key == GameKeystroke::Console ? 0xC0 : 0x0D;
    if (!::PostMessageA(ToHwnd(window), WM_KEYDOWN, code, 0)) return FailedWithLastError(false);
    if (!::PostMessageA(ToHwnd(window), WM_KEYUP, code, 0)) return FailedWithLastError(false);
    return true;
}

}  // namespace tovi::win32_backend

namespace tovi {

std::unique_ptr<ProcessBackend> MakePlatformBackend() {
    return std::make_unique<win32_backend::Win32ProcessBackend>();
}

}  // namespace tovi
