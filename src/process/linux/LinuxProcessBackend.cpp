#include "linux/LinuxProcessBackend.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>

#include "MemoryClass.h"
#include "PlatformBackend.h"
#include "linux/NoDisplayWindowSystem.h"
#include "linux/X11WindowSystem.h"

namespace tovi::linux_backend {

namespace {

std::optional<int32_t> ParsePid(const char* name) {
    if (!name || !*name) return std::nullopt;
    int64_t value = 0;
    for (const char* c = name; *c; ++c) {
        if (*c < '0' || *c > '9') return std::nullopt;
        value = value * 10 + (*c - '0');
        if (value > INT32_MAX) return std::nullopt;
    }
    return value > 0 ? std::optional<int32_t>(static_cast<int32_t>(value)) : std::nullopt;
}

// A descriptor that is closed whatever happens.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : m_fd(fd) {}
    ~FileDescriptor() {
        if (m_fd >= 0) ::close(m_fd);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    bool valid() const { return m_fd >= 0; }
    int get() const { return m_fd; }

private:
    int m_fd;
};

// The whole of a small file, or nothing with `error` set. A /proc file of a process that ends
// while it is read fails the read (ESRCH); that must be a failure, not an exception.
std::optional<std::string> ReadWholeFile(const std::string& path, int& error) {
    FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) {
        error = errno;
        return std::nullopt;
    }
    std::string content;
    std::array<char, 4096> chunk{};
    for (;;) {
        const ssize_t n = ::read(fd.get(), chunk.data(), chunk.size());
        if (n == 0) return content;
        if (n < 0) {
            if (errno == EINTR) continue;
            error = errno;
            return std::nullopt;
        }
        content.append(chunk.data(), static_cast<size_t>(n));
    }
}

}  // namespace

std::optional<std::string> WindowsPathFromCommandLine(const std::string& cmdline) {
    const std::string first = cmdline.substr(0, cmdline.find('\0'));
    if (!EndsWithIgnoringCase(first, ".exe")) return std::nullopt;
    return first;
}

LinuxProcessBackend::LinuxProcessBackend(std::string procRoot) : m_procRoot(std::move(procRoot)) {}

bool LinuxProcessBackend::Failed(AccessFailure failure) {
    m_failure = failure;
    return false;
}

bool LinuxProcessBackend::FailedWithErrno(int error) {
    switch (error) {
    case ESRCH:
    case ENOENT: return Failed(AccessFailure::NoSuchProcess);
    case EPERM:
    case EACCES: return Failed(AccessFailure::PermissionDenied);
    case EFAULT:
    case EIO: return Failed(AccessFailure::BadAddress);
    default: return Failed(AccessFailure::Other);
    }
}

std::vector<int32_t> LinuxProcessBackend::ListProcessIds() {
    m_failure = AccessFailure::None;
    std::vector<int32_t> ids;
    DIR* dir = ::opendir(m_procRoot.c_str());
    if (!dir) {
        FailedWithErrno(errno);
        return ids;
    }
    while (const dirent* entry = ::readdir(dir)) {
        if (auto pid = ParsePid(entry->d_name)) ids.push_back(*pid);
    }
    ::closedir(dir);
    std::sort(ids.begin(), ids.end());
    return ids;
}

std::optional<std::string> LinuxProcessBackend::FirstModulePath(int32_t pid) {
    m_failure = AccessFailure::None;
    const std::string base = m_procRoot + "/" + std::to_string(pid);
    // The command line is readable without any access to the process itself.
    int error = 0;
    const auto args = ReadWholeFile(base + "/cmdline", error);
    if (!args) {
        FailedWithErrno(error);
        return std::nullopt;
    }
    if (auto windowsPath = WindowsPathFromCommandLine(*args)) return windowsPath;

    std::string target(4096, '\0');
    const ssize_t n = ::readlink((base + "/exe").c_str(), target.data(), target.size());
    if (n < 0) {
        FailedWithErrno(errno);
        return std::nullopt;
    }
    target.resize(static_cast<size_t>(n));
    return target;
}

bool LinuxProcessBackend::CanOpen(int32_t pid) {
    m_failure = AccessFailure::None;
    if (pid <= 0) return Failed(AccessFailure::NoSuchProcess);
    // A one-byte read at address 0, which is never mapped, meets exactly the check of every
    // transfer: refused (EPERM), gone (ESRCH), or allowed and faulting (EFAULT). Opening
    // /proc/PID/mem would also ask for the file's owner, which refuses a program that holds
    // CAP_SYS_PTRACE but not the game's user id (the service unit's set-up). It moves no memory,
    // so it is not counted as a transfer.
    uint8_t byte = 0;
    iovec local{&byte, 1};
    iovec remote{nullptr, 1};
    if (::process_vm_readv(pid, &local, 1, &remote, 1, 0) >= 0 || errno == EFAULT) return true;
    return FailedWithErrno(errno);
}

bool LinuxProcessBackend::Read(int32_t pid, uint32_t address, std::span<uint8_t> out) {
    m_failure = AccessFailure::None;
    if (pid <= 0) return Failed(AccessFailure::NoSuchProcess);
    if (out.empty()) return true;
    iovec local{out.data(), out.size()};
    iovec remote{reinterpret_cast<void*>(static_cast<uintptr_t>(address)), out.size()};
    const ssize_t n = ::process_vm_readv(pid, &local, 1, &remote, 1, 0);
    CountTransfers();
    if (n < 0) return FailedWithErrno(errno);
    if (static_cast<size_t>(n) != out.size()) return Failed(AccessFailure::BadAddress);
    return true;
}

// process_vm_readv takes up to IOV_MAX ranges but stops at the first remote range it can't read
// and reports only how many bytes came. The range where it stopped is the failed one (a range
// is never split by a success); the call goes on from the range after it.
AccessFailure LinuxProcessBackend::ReadRanges(int32_t pid, std::span<ReadRange> ranges) {
    m_failure = AccessFailure::None;
    AccessFailure first = AccessFailure::None;
    const auto fail = [&](ReadRange& range, AccessFailure failure) {
        range.failure = failure;
        if (first == AccessFailure::None) first = failure;
    };
    if (pid <= 0) {
        for (ReadRange& range : ranges) fail(range, AccessFailure::NoSuchProcess);
        m_failure = first;
        return first;
    }
    constexpr size_t kMaxRanges = IOV_MAX < 1024 ? IOV_MAX : 1024;
    std::vector<iovec> local;
    std::vector<iovec> remote;
    std::vector<size_t> sent;  // the range behind each iovec
    size_t next = 0;
    while (next < ranges.size()) {
        local.clear();
        remote.clear();
        sent.clear();
        for (; next < ranges.size() && sent.size() < kMaxRanges; ++next) {
            ReadRange& range = ranges[next];
            if (range.out.empty()) {
                range.failure = AccessFailure::None;
                continue;
            }
            local.push_back({range.out.data(), range.out.size()});
            remote.push_back(
                {reinterpret_cast<void*>(static_cast<uintptr_t>(range.address)), range.out.size()});
            sent.push_back(next);
        }
        if (sent.empty()) break;
        const ssize_t n = ::process_vm_readv(pid, local.data(), static_cast<unsigned long>(local.size()),
                                             remote.data(), static_cast<unsigned long>(remote.size()), 0);
        CountTransfers();
        if (n < 0 && errno != EFAULT) {
            // The process itself is gone or refused: no range of it can be read.
            FailedWithErrno(errno);
            const AccessFailure failure = m_failure;
            for (size_t i = sent.front(); i < ranges.size(); ++i) fail(ranges[i], failure);
            break;
        }
        auto left = static_cast<size_t>(n < 0 ? 0 : n);
        for (size_t i = 0; i < sent.size(); ++i) {
            ReadRange& range = ranges[sent[i]];
            if (left >= range.out.size()) {
                left -= range.out.size();
                range.failure = AccessFailure::None;
                continue;
            }
            fail(range, AccessFailure::BadAddress);
            next = sent[i] + 1;
            break;
        }
    }
    m_failure = first;
    return first;
}

bool LinuxProcessBackend::Write(int32_t pid, uint32_t address, std::span<const uint8_t> data) {
    m_failure = AccessFailure::None;
    if (pid <= 0) return Failed(AccessFailure::NoSuchProcess);
    if (data.empty()) return true;
    iovec local{const_cast<uint8_t*>(data.data()), data.size()};
    iovec remote{reinterpret_cast<void*>(static_cast<uintptr_t>(address)), data.size()};
    const ssize_t n = ::process_vm_writev(pid, &local, 1, &remote, 1, 0);
    if (n < 0) return FailedWithErrno(errno);
    if (static_cast<size_t>(n) != data.size()) return Failed(AccessFailure::BadAddress);
    return true;
}

std::string LinuxProcessBackend::AccessRefusedAdvice() const {
    return "Run Tovi stats as root, give it the capability with \"setcap cap_sys_ptrace=eip tovistats\", or allow "
           "it for all programs of your user with \"sysctl kernel.yama.ptrace_scope=0\".";
}

// A call of the window half: its failure, or none, becomes this backend's. The no-display half
// calls back into this backend, so its answer is taken only once it returns.
template <typename Call> auto LinuxProcessBackend::Windows(Call call) {
    using Result = decltype(call(*m_windows));
    if (!m_windows) {
        m_failure = AccessFailure::NoWindowSystem;
        return Result{};
    }
    auto result = call(*m_windows);
    m_failure = m_windows->LastFailure();
    return result;
}

std::vector<int32_t> LinuxProcessBackend::TopLevelWindows() {
    return Windows([](WindowSystem& w) { return w.TopLevelWindows(); });
}

std::optional<int32_t> LinuxProcessBackend::KnownProcessWindow(int32_t pid) {
    return Windows([&](WindowSystem& w) { return w.KnownProcessWindow(pid); });
}

std::optional<OwnedWindow> LinuxProcessBackend::KnownWindowByCaption(const std::string& caption) {
    return Windows([&](WindowSystem& w) { return w.KnownWindowByCaption(caption); });
}

int32_t LinuxProcessBackend::FindWindowByCaption(const std::string& caption) {
    return Windows([&](WindowSystem& w) { return w.FindWindowByCaption(caption); });
}

int32_t LinuxProcessBackend::WindowProcess(int32_t window) {
    return Windows([&](WindowSystem& w) { return w.WindowProcess(window); });
}

std::string LinuxProcessBackend::WindowCaption(int32_t window) {
    return Windows([&](WindowSystem& w) { return w.WindowCaption(window); });
}

bool LinuxProcessBackend::SetWindowVisible(int32_t window, bool visible) {
    return Windows([&](WindowSystem& w) { return w.SetWindowVisible(window, visible); });
}

bool LinuxProcessBackend::PostKeystroke(int32_t window, GameKeystroke key) {
    return Windows([&](WindowSystem& w) { return w.PostKeystroke(window, key); });
}

}  // namespace tovi::linux_backend

namespace tovi {

std::unique_ptr<ProcessBackend> MakePlatformBackend() {
    auto backend = std::make_unique<linux_backend::LinuxProcessBackend>();
    if (auto x11 = linux_backend::X11WindowSystem::Open()) {
        backend->SetWindowSystem(std::move(x11));
    } else {
        backend->SetWindowSystem(std::make_unique<linux_backend::NoDisplayWindowSystem>(*backend));
    }
    return backend;
}

}  // namespace tovi
