#include "DurableFile.h"

#include <algorithm>
#include <cerrno>
#include <system_error>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "Windows1252.h"

namespace tovi {

namespace {

FileStepHook g_stepHook = nullptr;

void Step(const char* step) {
    if (g_stepHook) g_stepHook(step);
}


using Producer = std::function<bool(const PieceWriter&)>;

std::string Describe(const std::filesystem::path& file, const char* what, const std::string& reason) {
    return std::string(what) + " " + PathText(file) + ": " + reason;
}

constexpr const char* kTemporarySuffix = ".tovistats.tmp";

std::string InTheWay(const std::filesystem::path& temp) {
    return PathText(temp) +
           " is in the way; this program did not make it and leaves it alone. Move it "
           "elsewhere and try again";
}

// A temporary file of this program's name is its own, left by a run that was stopped while it
// wrote: it only ever makes plain files so named, and nothing else writes them. Anything else by
// that name (a folder, a link) is not its own and stays.
void RemoveOwnLeftover(const std::filesystem::path& temp) {
    std::error_code ec;
    if (std::filesystem::is_regular_file(std::filesystem::symlink_status(temp, ec)))
        std::filesystem::remove(temp, ec);
}

// The file a path ends up at once its links are followed: a link is written through, never
// replaced by a plain file. A loop of links is left as it is and fails when written.
std::filesystem::path LinkTarget(const std::filesystem::path& file) {
    std::filesystem::path at = file;
    for (int hops = 0; hops < 40; ++hops) {
        std::error_code ec;
        if (!std::filesystem::is_symlink(std::filesystem::symlink_status(at, ec))) return at;
        const std::filesystem::path to = std::filesystem::read_symlink(at, ec);
        if (ec) return at;
        at = to.is_absolute() ? to : at.parent_path() / to;
    }
    return file;
}

#ifdef _WIN32

std::string LastErrorText() {
    return std::system_category().message(static_cast<int>(GetLastError()));
}

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

bool WriteAll(HANDLE file, std::string_view bytes) {
    while (!bytes.empty()) {
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size(), 1U << 30));
        DWORD written = 0;
        if (!WriteFile(file, bytes.data(), chunk, &written, nullptr) || written == 0) return false;
        bytes.remove_prefix(written);
    }
    return true;
}

bool CutTo(HANDLE file, LONGLONG size) {
    LARGE_INTEGER at;
    at.QuadPart = size;
    return SetFilePointerEx(file, at, nullptr, FILE_BEGIN) && SetEndOfFile(file) && FlushFileBuffers(file);
}

// Creates the temporary file anew: whatever still has its name is not this program's own.
bool WriteNewFile(const std::filesystem::path& temp, const Producer& produce, std::string& error,
                  bool& created) {
    Handle file(
        CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.Valid()) {
        const DWORD code = GetLastError();
        error = code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS
                    ? InTheWay(temp)
                    : Describe(temp, "cannot create", LastErrorText());
        return false;
    }
    created = true;
    bool failed = false;
    const bool produced = produce([&](std::string_view bytes) {
        if (!failed && !WriteAll(file.Get(), bytes)) {
            failed = true;
            error = Describe(temp, "cannot write", LastErrorText());
        }
        return !failed;
    });
    if (failed || !produced) {
        if (!failed) error.clear();
        return false;
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

bool SyncFolderOf(const std::filesystem::path&, std::string&) {
    return true;
}

bool AppendBytes(const std::filesystem::path& path, std::string_view bytes, std::string& error,
                 bool& created) {
    Handle file(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.Valid()) {
        error = Describe(path, "cannot open", LastErrorText());
        return false;
    }
    created = GetLastError() != ERROR_ALREADY_EXISTS;
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file.Get(), &size) || !SetFilePointerEx(file.Get(), size, nullptr, FILE_BEGIN)) {
        error = Describe(path, "cannot open", LastErrorText());
        return false;
    }
    if (!WriteAll(file.Get(), bytes) || !FlushFileBuffers(file.Get())) {
        error = Describe(path, "cannot write", LastErrorText());
        CutTo(file.Get(), size.QuadPart);
        return false;
    }
    if (!file.Close()) {
        error = Describe(path, "cannot close", LastErrorText());
        return false;
    }
    return true;
}

bool CutFile(const std::filesystem::path& path, uintmax_t size, std::string& error) {
    Handle file(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.Valid() || !CutTo(file.Get(), static_cast<LONGLONG>(size))) {
        error = Describe(path, "cannot shorten", LastErrorText());
        return false;
    }
    return true;
}

#else

std::string ErrnoText(int code) {
    return std::generic_category().message(code);
}

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

// Every byte written, or the reason why not (a full disk shows as a short write first).
bool WriteAll(int fd, std::string_view bytes, int& code) {
    // With a step hook, a kill can land with half the bytes on the disk.
    bool stepped = g_stepHook == nullptr;
    size_t beforeStep = bytes.size() / 2;
    while (!bytes.empty()) {
        if (!stepped && beforeStep == 0) {
            Step("write");
            stepped = true;
        }
        const size_t chunk = stepped ? bytes.size() : std::min(bytes.size(), beforeStep);
        const ssize_t written = ::write(fd, bytes.data(), chunk);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) {
            code = written < 0 ? errno : ENOSPC;
            return false;
        }
        bytes.remove_prefix(static_cast<size_t>(written));
        if (!stepped) beforeStep -= static_cast<size_t>(written);
    }
    return true;
}

// Creates the temporary file anew: whatever still has its name is not this program's own.
// It takes the permissions of the file it will replace.
bool WriteNewFile(const std::filesystem::path& temp, const std::filesystem::path& target,
                  const Producer& produce, std::string& error, bool& created) {
    Step("create");
    Descriptor file(::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    if (!file.Valid()) {
        error = errno == EEXIST ? InTheWay(temp) : Describe(temp, "cannot create", ErrnoText(errno));
        return false;
    }
    created = true;
    struct stat old {};
    if (::stat(target.c_str(), &old) == 0 && S_ISREG(old.st_mode)) {
        // Only root may give the file to another owner; anyone else keeps the file as theirs.
        if (::fchown(file.Get(), old.st_uid, old.st_gid) != 0) {
            // Not permitted: the file stays the writer's own.
        }
        if (::fchmod(file.Get(), old.st_mode & 07777) != 0) {
            error = Describe(temp, "cannot set the permissions of", ErrnoText(errno));
            return false;
        }
    }
    bool failed = false;
    const bool produced = produce([&](std::string_view bytes) {
        int code = 0;
        if (!failed && !WriteAll(file.Get(), bytes, code)) {
            failed = true;
            error = Describe(temp, "cannot write", ErrnoText(code));
        }
        return !failed;
    });
    if (failed || !produced) {
        if (!failed) error.clear();
        return false;
    }
    Step("flush");
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
    Step("rename");
    if (::rename(temp.c_str(), file.c_str()) != 0) {
        error = Describe(file, "cannot replace", ErrnoText(errno));
        return false;
    }
    return true;
}

// A new name is only on the disk once the folder that holds it is.
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

bool AppendBytes(const std::filesystem::path& path, std::string_view bytes, std::string& error,
                 bool& created) {
    struct stat before {};
    created = ::stat(path.c_str(), &before) != 0;
    Step("open to append");
    Descriptor file(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
    struct stat now {};
    if (!file.Valid() || ::fstat(file.Get(), &now) != 0) {
        error = Describe(path, "cannot open", ErrnoText(errno));
        return false;
    }
    if (!S_ISREG(now.st_mode)) {
        error = Describe(path, "cannot write", "not a plain file");
        return false;
    }
    int code = 0;
    bool written = WriteAll(file.Get(), bytes, code);
    if (written) Step("flush");
    if (written && ::fsync(file.Get()) != 0) {
        code = errno;
        written = false;
    }
    if (!written) {
        error = Describe(path, "cannot write", ErrnoText(code));
        // What did reach the file must not stand as the start of a block that is not there.
        if (::ftruncate(file.Get(), now.st_size) == 0) ::fsync(file.Get());
        return false;
    }
    if (!file.Close()) {
        error = Describe(path, "cannot close", ErrnoText(errno));
        return false;
    }
    return true;
}

bool CutFile(const std::filesystem::path& path, uintmax_t size, std::string& error) {
    Step("cut");
    Descriptor file(::open(path.c_str(), O_WRONLY | O_CLOEXEC));
    if (!file.Valid() || ::ftruncate(file.Get(), static_cast<off_t>(size)) != 0 || ::fsync(file.Get()) != 0) {
        error = Describe(path, "cannot shorten", ErrnoText(errno));
        return false;
    }
    return true;
}

#endif

}  // namespace

std::string PathText(const std::filesystem::path& path) {
    // The log speaks Windows-1252; a path is Unicode (UTF-8 bytes on Linux, UTF-16 on Windows).
    const std::u8string utf8 = path.u8string();
    return Utf8ToWindows1252(std::string(utf8.begin(), utf8.end()));
}

std::filesystem::path TemporaryFileFor(const std::filesystem::path& file) {
    std::filesystem::path temp = LinkTarget(file);
    temp += kTemporarySuffix;
    return temp;
}

int RemoveLeftoverTemporaryFiles(const std::filesystem::path& folder, const std::vector<std::string>& olderNames) {
    int removed = 0;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = PathText(it->path().filename());
        const bool ours = name.ends_with(kTemporarySuffix) ||
                          std::find(olderNames.begin(), olderNames.end(), name) != olderNames.end();
        std::error_code kind;
        if (!ours || !std::filesystem::is_regular_file(it->symlink_status(kind))) continue;
        std::error_code gone;
        Step("remove");
        if (std::filesystem::remove(it->path(), gone)) ++removed;
    }
    return removed;
}

std::optional<std::string> ReadWholeFile(const std::filesystem::path& file, std::string& error,
                                         uintmax_t maxBytes) {
    std::error_code ec;
    const std::filesystem::file_status status = std::filesystem::status(file, ec);
    if (!std::filesystem::is_regular_file(status)) {
        error =
            Describe(file, "cannot read", std::filesystem::exists(status) ? "not a file" : "no such file");
        return std::nullopt;
    }
    const uintmax_t size = std::filesystem::file_size(file, ec);
    if (!ec && size > maxBytes) {
        error = Describe(file, "will not read",
                         "it holds " + std::to_string(size) + " bytes, more than the " +
                             std::to_string(maxBytes) + " a file of this kind may have");
        return std::nullopt;
    }
#ifdef _WIN32
    Handle in(CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                          nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!in.Valid()) {
        error = Describe(file, "cannot open", LastErrorText());
        return std::nullopt;
    }
#else
    Descriptor in(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
    if (!in.Valid()) {
        error = Describe(file, "cannot open", ErrnoText(errno));
        return std::nullopt;
    }
#endif
    // Read in large pieces until the end, however the file's size changes meanwhile; the limit
    // holds for what is read, too.
    std::string content;
    std::string piece(1 << 16, '\0');
    for (;;) {
#ifdef _WIN32
        DWORD got = 0;
        if (!ReadFile(in.Get(), piece.data(), static_cast<DWORD>(piece.size()), &got, nullptr)) {
            error = Describe(file, "cannot read", LastErrorText());
            return std::nullopt;
        }
#else
        const ssize_t got = ::read(in.Get(), piece.data(), piece.size());
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            error = Describe(file, "cannot read", ErrnoText(errno));
            return std::nullopt;
        }
#endif
        if (got == 0) break;
        content.append(piece.data(), static_cast<size_t>(got));
        if (content.size() > maxBytes) {
            error = Describe(
                file, "will not read",
                "it holds more than the " + std::to_string(maxBytes) + " bytes a file of this kind may have");
            return std::nullopt;
        }
    }
    return content;
}

bool ReplaceFileContent(const std::filesystem::path& file, std::string_view bytes, std::string& error) {
    return ReplaceFileInPieces(
        file, [bytes](const PieceWriter& write) { return write(bytes); }, error);
}

bool ReplaceFileInPieces(const std::filesystem::path& file, const Producer& produce, std::string& error) {
    const std::filesystem::path target = LinkTarget(file);
    const std::filesystem::path temp = TemporaryFileFor(file);
    RemoveOwnLeftover(temp);
    bool created = false;
#ifdef _WIN32
    const bool written = WriteNewFile(temp, produce, error, created);
#else
    const bool written = WriteNewFile(temp, target, produce, error, created);
#endif
    if (!written || !MoveIntoPlace(temp, target, error)) {
        // Only a temporary file this call made is removed.
        std::error_code ignored;
        if (created) std::filesystem::remove(temp, ignored);
        return false;
    }
    Step("flush the folder");
    return SyncFolderOf(target, error);
}

bool AppendToFile(const std::filesystem::path& file, std::string_view bytes, std::string& error) {
    bool created = false;
    if (!AppendBytes(file, bytes, error, created)) return false;
    return !created || SyncFolderOf(LinkTarget(file), error);
}

bool TruncateFile(const std::filesystem::path& file, uintmax_t size, std::string& error) {
    return CutFile(file, size, error);
}

bool RemoveFileDurably(const std::filesystem::path& file, std::string& error) {
    Step("remove");
    std::error_code ec;
    std::filesystem::remove(file, ec);
    if (ec) {
        error = Describe(file, "cannot delete", ec.message());
        return false;
    }
    return SyncFolderOf(file, error);
}

void SetFileStepHook(FileStepHook hook) {
    g_stepHook = hook;
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
