#include <windows.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <type_traits>
#include <vector>

#include "SimProcess.h"

namespace tovi::testing {

namespace fs = std::filesystem;

struct SimProcess::Platform {
    fs::path folder;
    std::unique_ptr<std::remove_pointer_t<HANDLE>, decltype(&::CloseHandle)> process{nullptr, &::CloseHandle};
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

    // The folder's path may hold blanks; the tests' arguments hold none, nor quotes.
    std::string commandLine = "\"" + m_path + "\"";
    for (const auto& arg : args) commandLine += " " + arg;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    // No console at all: the transcript is not wanted here, and a console would be a console
    // host process of Wine's that holds on to the test's output after the test ends.
    if (!::CreateProcessA(m_path.c_str(), commandLine.data(), nullptr, nullptr, FALSE, DETACHED_PROCESS,
                          nullptr, nullptr, &startup, &info)) {
        return;
    }
    ::CloseHandle(info.hThread);
    m_platform->process.reset(info.hProcess);
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
    m_platform->process.reset();
    m_pid = 0;
}

int32_t CurrentProcessId() {
    return static_cast<int32_t>(::GetCurrentProcessId());
}

bool WindowVisible(int32_t window) {
    return ::IsWindowVisible(reinterpret_cast<HWND>(static_cast<intptr_t>(window))) != FALSE;
}

int RaiseHelperWindows(int32_t pid, int32_t mainWindow) {
    struct Search {
        DWORD pid;
        HWND main;
        std::vector<HWND> helpers;
    } search{static_cast<DWORD>(pid), reinterpret_cast<HWND>(static_cast<intptr_t>(mainWindow)), {}};
    ::EnumWindows(
        [](HWND window, LPARAM context) -> BOOL {
            auto& s = *reinterpret_cast<Search*>(context);
            DWORD owner = 0;
            ::GetWindowThreadProcessId(window, &owner);
            if (owner == s.pid && window != s.main) s.helpers.push_back(window);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    for (HWND helper : search.helpers) {
        ::SetWindowPos(helper, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    }
    return static_cast<int>(search.helpers.size());
}

}  // namespace tovi::testing
