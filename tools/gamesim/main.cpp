// gamesim: a stand-in for a Joint Operations: Typhoon Rising 1.5.1.5 game server. It keeps the
// game's values at the game's own addresses, plays a scenario on them and answers the game's
// console keys in a window whose caption is the game's.
#include <atomic>
#include <chrono>
#include <csignal>
#include <fstream>
#include <iostream>
#include <thread>

#include "GameAddresses.h"
#include "GameMemory.h"
#include "GameWindow.h"
#include "Options.h"
#include "Simulator.h"

// Last: windows.h defines macros (ERROR, min, max, ...) that clash with ordinary names.
#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#endif

namespace {

using namespace tovi;
using namespace tovi::gamesim;

// Set from a signal handler or, on Windows, from the thread that runs console control handlers.
std::atomic<bool> g_stop = false;
static_assert(std::atomic<bool>::is_always_lock_free);

#ifdef _WIN32
BOOL WINAPI OnConsoleControl(DWORD) {
    g_stop = true;
    return TRUE;
}
#else
void OnStopSignal(int) { g_stop = true; }
#endif

// Windows raises no SIGTERM: Ctrl+C, Ctrl+Break and closing the console come as console control events.
void CatchStopRequests() {
#ifdef _WIN32
    ::SetConsoleCtrlHandler(OnConsoleControl, TRUE);
#else
    std::signal(SIGINT, OnStopSignal);
    std::signal(SIGTERM, OnStopSignal);
#endif
}

constexpr auto kPollInterval = std::chrono::milliseconds(10);

int Run(const std::vector<std::string>& args) {
    Options options;
    Scenario scenario;
    try {
        options = ParseOptions(args);
        if (options.help) {
            std::cout << UsageText();
            return 0;
        }
        scenario = BuildScenario(options);
    } catch (const std::runtime_error& e) {  // UsageError, ScenarioError
        std::cerr << "gamesim: " << e.what() << '\n';
        return 2;
    }
    CatchStopRequests();

    std::ofstream file;
    if (options.transcriptFile) {
        file.open(*options.transcriptFile, std::ios::out | std::ios::trunc);
        if (!file) {
            std::cerr << "gamesim: cannot write the transcript to " << *options.transcriptFile << '\n';
            return 1;
        }
    }
    std::ostream& out = options.transcriptFile ? static_cast<std::ostream&>(file) : std::cout;
    // Flushed line by line, so that whoever watches the transcript sees each line as it happens.
    auto transcript = [&out](const std::string& line) { out << line << '\n' << std::flush; };

    std::string error;
    const auto memory = MapGameMemory(error);
    if (!memory) {
        std::cerr << "gamesim: " << error << '\n';
        return 1;
    }
    image::GameImage gameImage(memory->Bytes(), image::kImageStart);
    Simulator simulator(gameImage, std::move(scenario), transcript);

    std::unique_ptr<GameWindow> window;
    if (!options.noWindow) {
        std::string note;
        const std::string caption =
            std::string(game::kCaptionPrefix) + gameImage.Text(game::kVersionText, kMaxVersionLength + 1);
        window = OpenGameWindow(caption, note);
        if (!note.empty()) std::cerr << "gamesim: " << note << '\n';
        if (window) window->onKey = [&simulator](GameKeystroke key) { simulator.PressKey(key); };
    }

    auto last = std::chrono::steady_clock::now();
    double carried = 0;  // simulated milliseconds not yet handed to the simulator
    while (!g_stop && !simulator.Exited() && !(window && window->CloseRequested())) {
        if (window) {
            window->Pump(kPollInterval);
        } else {
            std::this_thread::sleep_for(kPollInterval);
        }
        const auto now = std::chrono::steady_clock::now();
        const double elapsed =
            std::chrono::duration<double, std::milli>(now - last).count() * options.timeScale + carried;
        last = now;
        const auto whole = static_cast<int64_t>(elapsed);
        carried = elapsed - static_cast<double>(whole);
        simulator.Advance(whole);
        if (window) window->ShowStatus(simulator.Status());
    }
    out.flush();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return Run(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const std::exception& e) {
        std::cerr << "gamesim: " << e.what() << '\n';
    } catch (...) {
        std::cerr << "gamesim: unexpected failure\n";
    }
    return 1;
}
