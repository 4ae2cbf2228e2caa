#include "DataFolderLock.h"

#include <cerrno>
#include <system_error>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

#include "DurableFile.h"

namespace tovi {

#ifdef _WIN32

DataFolderLock::~DataFolderLock() {
    if (m_handle) CloseHandle(static_cast<HANDLE>(m_handle));
}

bool DataFolderLock::Held() const {
    return m_handle != nullptr;
}

bool DataFolderLock::Acquire(const std::filesystem::path& folder, std::string& error, bool& inUse) {
    inUse = false;
    if (Held()) return true;
    const std::filesystem::path file = folder / kFileName;
    // Opened without sharing: no other process can open it while this handle lives.
    HANDLE handle = CreateFileW(file.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        inUse = code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION;
        error = PathText(file) + ": " + std::system_category().message(static_cast<int>(code));
        return false;
    }
    m_handle = handle;
    return true;
}

#else

DataFolderLock::~DataFolderLock() {
    if (m_fd >= 0) ::close(m_fd);
}

bool DataFolderLock::Held() const {
    return m_fd >= 0;
}

bool DataFolderLock::Acquire(const std::filesystem::path& folder, std::string& error, bool& inUse) {
    inUse = false;
    if (Held()) return true;
    const std::filesystem::path file = folder / kFileName;
    const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = PathText(file) + ": " + std::generic_category().message(errno);
        return false;
    }
    // flock belongs to this open file: a second open, even in this process, is refused.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int code = errno;
        ::close(fd);
        inUse = code == EWOULDBLOCK;
        error = PathText(file) + ": " + std::generic_category().message(code);
        return false;
    }
    m_fd = fd;
    return true;
}

#endif

}  // namespace tovi
