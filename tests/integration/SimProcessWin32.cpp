#include <windows.h>

#include <atomic>
#include <filesystem>

#include "SimProcess.h"

namespace tovi::testing {

namespace fs = std::filesystem;

namespace {

class Handle {
public:
    explicit Handle(HANDLE handle = nullptr) : m_handle(handle) {}
    ~Handle() { Reset(); }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    HANDLE get() const { return m_handle; }
    void Reset(HANDLE handle = nullptr) {
        if (m_handle) ::CloseHandle(m_handle);
        m_handle = handle;
    }

private:
    HANDLE m_handle;
};

// A command-line argument as the C runtime of the started program splits it back.
std::string Quoted(const std::string& arg) {
    if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) return arg;
    std::string out = "\"";
    size_t backslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        out.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        backslashes = 0;
        out.push_back(c);
    }
    out.append(backslashes * 2, '\\');
    out.push_back('"');
    return out;
}

}  // namespace

struct SimProcess::Platform {
    fs::path folder;
    Handle process;
    Handle thread;
};

SimProcess::SimProcess() : m_platform(std::make_unique<Platform>()) {}

SimProcess::SimProcess(const std::string& name, std::vector<std::string> args) : SimProcess() {
    static std::atomic<int> copies = 0;
    m_platform->folder = fs::temp_directory_path() / ("tovi-sim-" + std::to_string(::GetCurrentProcessId()) +
                                                      "-" + std::to_string(copies++));
    fs::create_directories(m_platform->folder);
    const fs::path copy = m_platform->folder / name;
    fs::copy_file(GAMESIM_PATH, copy, fs::copy_options::overwrite_existing);
    m_path = copy.string();

    std::string commandLine = Quoted(m_path);
    for (const auto& arg : args) commandLine += " " + Quoted(arg);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    // No console at all: the transcript is not wanted here, and a console would be a console
    // host process of Wine's that holds on to the test's output after the test ends.
    if (!::CreateProcessA(m_path.c_str(), commandLine.data(), nullptr, nullptr, FALSE, DETACHED_PROCESS,
                          nullptr, nullptr, &startup, &info)) {
        return;
    }
    m_platform->process.Reset(info.hProcess);
    m_platform->thread.Reset(info.hThread);
    m_pid = static_cast<int32_t>(info.dwProcessId);
}

SimProcess::~SimProcess() {
    Stop();
    std::error_code ignored;
    fs::remove_all(m_platform->folder, ignored);
}

void SimProcess::Stop() {
    if (m_pid <= 0) return;
    ::TerminateProcess(m_platform->process.get(), 0);
    ::WaitForSingleObject(m_platform->process.get(), 10000);
    // Once no handle to it is left, the process and its id are gone.
    m_platform->thread.Reset();
    m_platform->process.Reset();
    m_pid = 0;
}

int32_t CurrentProcessId() {
    return static_cast<int32_t>(::GetCurrentProcessId());
}

bool WindowVisible(int32_t window) {
    return ::IsWindowVisible(reinterpret_cast<HWND>(static_cast<intptr_t>(window))) != FALSE;
}

}  // namespace tovi::testing
