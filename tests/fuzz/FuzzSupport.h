#pragma once
// What the fuzz targets share: a private folder for the files they read (in memory where the
// system offers it, and removed when the run ends), and stand-ins for the window, the log, the
// dialogs and the web that discard what they are given.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <system_error>

#include "Dialogs.h"
#include "HttpClient.h"
#include "LogSink.h"
#include "SettingsFile.h"

namespace tovi::fuzz {

// A property the target checks does not hold: a finding, as a crash is.
#define TOVI_FUZZ_CHECK(condition)                                                             \
    do {                                                                                       \
        if (!(condition)) {                                                                    \
            std::fprintf(stderr, "%s:%d: %s does not hold\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                      \
        }                                                                                      \
    } while (false)

inline const std::filesystem::path& Folder() {
    static const std::filesystem::path folder = [] {
        std::error_code ec;
        std::filesystem::path base = std::filesystem::is_directory("/dev/shm", ec)
                                         ? "/dev/shm"
                                         : std::filesystem::temp_directory_path();
        std::string name = (base / "tovi-fuzz-XXXXXX").string();
        if (!mkdtemp(name.data())) std::abort();
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(Folder(), ignored);
        });
        return std::filesystem::path(name);
    }();
    return folder;
}

inline void WriteFile(const std::filesystem::path& file, const uint8_t* data, size_t size) {
    std::ofstream(file, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
}

inline std::string ReadFile(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class QuietLog : public LogSink {
public:
    void Log(const std::string&) override {}
    void DebugLog(const std::string&) override {}
};

class QuietDialogs : public Dialogs {
public:
    int shown = 0;
    void Ask(const std::string&, std::function<void(bool)> answer) override { answer(false); }
    void Warn(const std::string&) override { ++shown; }
    void Inform(const std::string&) override { ++shown; }
    void InputBox(const std::string&, const std::string&,
                  std::function<void(std::optional<std::string>)> answer) override {
        answer(std::nullopt);
    }
};

class NoWeb : public HttpClient {
public:
    void Post(const HttpRequest&, std::function<void(const HttpResult&)>) override {}
    void Cancel() override {}
    bool Busy() const override { return false; }
};

}  // namespace tovi::fuzz
