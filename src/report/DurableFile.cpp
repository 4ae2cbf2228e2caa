#include "DurableFile.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <system_error>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

#include "Windows1252.h"

namespace tovi {

namespace {

// The log speaks Windows-1252; a path is Unicode (UTF-8 bytes on Linux, UTF-16 on Windows).
std::string PathText(const std::filesystem::path& path) {
    const std::u8string utf8 = path.u8string();
    return Utf8ToWindows1252(std::string(utf8.begin(), utf8.end()));
}

std::string Describe(const std::filesystem::path& file, const char* what, const std::string& reason) {
    return std::string(what) + " " + PathText(file) + ": " + reason;
}

#ifdef _WIN32

std::string LastErrorText() { return std::system_category().message(static_cast<int>(GetLastError())); }

class Handle {
public:
    explicit Handle(HANDLE h) : m_h(h) {}
    ~Handle() { Close(); }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    bool Valid() const { return m_h != INVALID_HANDLE_VALUE; }
    HANDLE Get() const { return m_h; }
    bool Close() {
        if (!Valid()) return true;
        const bool closed = CloseHandle(m_h) != 0;
        m_h = INVALID_HANDLE_VALUE;
        return closed;
    }

private:
    HANDLE m_h;
};

bool WriteAndFlush(const std::filesystem::path& temp, std::string_view bytes, std::string& error) {
    Handle file(CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.Valid()) {
        error = Describe(temp, "cannot create", LastErrorText());
        return false;
    }
    while (!bytes.empty()) {
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size(), 1U << 30));
        DWORD written = 0;
        if (!WriteFile(file.Get(), bytes.data(), chunk, &written, nullptr) || written == 0) {
            error = Describe(temp, "cannot write", LastErrorText());
            return false;
        }
        bytes.remove_prefix(written);
    }
    if (!FlushFileBuffers(file.Get())) {
        error = Describe(temp, "cannot flush", LastErrorText());
        return false;
    }
    if (!file.Close()) {
        error = Describe(temp, "cannot close", LastErrorText());
        return false;
    }
    return true;
}

bool MoveIntoPlace(const std::filesystem::path& temp, const std::filesystem::path& file, std::string& error) {
    // Write-through: the call returns once the new name is on the disk.
    if (!MoveFileExW(temp.c_str(), file.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        error = Describe(file, "cannot replace", LastErrorText());
        return false;
    }
    return true;
}

bool SyncFolderOf(const std::filesystem::path&, std::string&) { return true; }

#else

std::string ErrnoText(int code) { return std::generic_category().message(code); }

class Descriptor {
public:
    explicit Descriptor(int fd) : m_fd(fd) {}
    ~Descriptor() { Close(); }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    bool Valid() const { return m_fd >= 0; }
    int Get() const { return m_fd; }
    bool Close() {
        if (!Valid()) return true;
        const bool closed = ::close(m_fd) == 0;
        m_fd = -1;
        return closed;
    }

private:
    int m_fd;
};

bool WriteAndFlush(const std::filesystem::path& temp, std::string_view bytes, std::string& error) {
    Descriptor file(::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!file.Valid()) {
        error = Describe(temp, "cannot create", ErrnoText(errno));
        return false;
    }
    while (!bytes.empty()) {
        const ssize_t written = ::write(file.Get(), bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) {
            error = Describe(temp, "cannot write", written < 0 ? ErrnoText(errno) : "nothing written");
            return false;
        }
        bytes.remove_prefix(static_cast<size_t>(written));
    }
    if (::fsync(file.Get()) != 0) {
        error = Describe(temp, "cannot flush", ErrnoText(errno));
        return false;
    }
    if (!file.Close()) {
        error = Describe(temp, "cannot close", ErrnoText(errno));
        return false;
    }
    return true;
}

bool MoveIntoPlace(const std::filesystem::path& temp, const std::filesystem::path& file, std::string& error) {
    if (::rename(temp.c_str(), file.c_str()) != 0) {
        error = Describe(file, "cannot replace", ErrnoText(errno));
        return false;
    }
    return true;
}

// A rename is only on the disk once the folder that holds the name is.
bool SyncFolderOf(const std::filesystem::path& file, std::string& error) {
    std::filesystem::path folder = file.parent_path();
    if (folder.empty()) folder = ".";
    Descriptor dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir.Valid() || ::fsync(dir.Get()) != 0) {
        error = Describe(folder, "cannot flush the folder", ErrnoText(errno));
        return false;
    }
    return true;
}

#endif

}  // namespace

std::filesystem::path TemporaryFileFor(const std::filesystem::path& file) {
    std::filesystem::path temp = file;
    temp += ".tmp";
    return temp;
}

std::optional<std::string> ReadWholeFile(const std::filesystem::path& file, std::string& error) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(file, ec)) {
        error = Describe(file, "cannot read", std::filesystem::exists(file, ec) ? "not a file" : "no such file");
        return std::nullopt;
    }
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        error = Describe(file, "cannot open", std::strerror(errno));
        return std::nullopt;
    }
    std::string content{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (in.bad()) {
        error = Describe(file, "cannot read", std::strerror(errno));
        return std::nullopt;
    }
    return content;
}

bool ReplaceFileContent(const std::filesystem::path& file, std::string_view bytes, std::string& error) {
    const std::filesystem::path temp = TemporaryFileFor(file);
    if (!WriteAndFlush(temp, bytes, error) || !MoveIntoPlace(temp, file, error)) {
        std::error_code ignored;
        std::filesystem::remove(temp, ignored);
        return false;
    }
    return SyncFolderOf(file, error);
}

bool RemoveFileDurably(const std::filesystem::path& file, std::string& error) {
    std::error_code ec;
    std::filesystem::remove(file, ec);
    if (ec) {
        error = Describe(file, "cannot delete", ec.message());
        return false;
    }
    return SyncFolderOf(file, error);
}

void MakePath(const std::filesystem::path& file) {
    const std::filesystem::path folder = file.parent_path();
    // A path with no folder above it, or a root, has nothing to make.
    if (folder.empty() || folder == file || folder == folder.root_path()) return;
    std::error_code ec;
    // Anything of that name, folder or file, stops the climb: the first folder that exists ends it.
    if (std::filesystem::exists(std::filesystem::symlink_status(folder, ec))) return;
    MakePath(folder);
    std::filesystem::create_directory(folder, ec);
}

}  // namespace tovi
