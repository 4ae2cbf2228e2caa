#pragma once
// One running copy per data folder: two copies that both append to stats.stats, upload it and
// cut it would lose or double matches. The lock is held on a file in the folder for as long as
// this object lives; the system lets it go when the process ends, however it ends.
#include <filesystem>
#include <string>

namespace tovi {

class DataFolderLock {
public:
    DataFolderLock() = default;
    ~DataFolderLock();
    DataFolderLock(const DataFolderLock&) = delete;
    DataFolderLock& operator=(const DataFolderLock&) = delete;

    // Takes the folder for this copy. False, with `error` saying why, when another copy holds it
    // or the lock cannot be made; `inUse` tells the first from the second.
    bool Acquire(const std::filesystem::path& folder, std::string& error, bool& inUse);
    bool Held() const;

    static constexpr const char* kFileName = "tovistats-folder.lock";

private:
#ifdef _WIN32
    void* m_handle = nullptr;
#else
    int m_fd = -1;
#endif
};

}  // namespace tovi
