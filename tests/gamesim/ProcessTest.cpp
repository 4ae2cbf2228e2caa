#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include "GameAddresses.h"
#include "image/GameImage.h"

extern char** environ;

namespace tovi::gamesim {
namespace {

namespace fs = std::filesystem;

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// Waits, for a bounded while, until `condition` holds. The bound only keeps a broken run from
// hanging; nothing depends on how long the wait took.
template <typename Condition>
bool WaitFor(Condition condition) {
    for (int i = 0; i < 1000; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(10))) {
        if (condition()) return true;
    }
    return false;
}

// gamesim running in a fresh folder, its standard error going to errors.txt there; killed at the
// end if it is still running.
class GamesimProcessTest : public ::testing::Test {
protected:
    void SetUp() override { fs::create_directories(dir); }
    void TearDown() override {
        if (pid > 0 && ::kill(pid, SIGKILL) == 0) ::waitpid(pid, nullptr, 0);
        fs::remove_all(dir);
    }
    void Spawn(std::vector<std::string> args) {
        ASSERT_EQ(pid, -1) << "the last one still runs";
        args.insert(args.begin(), GAMESIM_PATH);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 2, (dir / "errors.txt").c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int error = posix_spawn(&pid, GAMESIM_PATH, &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (error != 0) pid = -1;
        ASSERT_EQ(error, 0);
    }
    // The exit status once it has ended by itself (after `signal`, when given); -1 when it won't.
    int ExitStatus(int signal = 0) {
        if (pid <= 0) return -1;
        if (signal != 0) ::kill(pid, signal);
        int status = 0;
        if (!WaitFor([&] { return ::waitpid(pid, &status, WNOHANG) == pid; })) return -1;
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    fs::path dir = fs::temp_directory_path() / ("gamesim_test_" + std::to_string(::getpid()));
    pid_t pid = -1;
};

TEST_F(GamesimProcessTest, KeepsTheGameValuesAtTheGameAddresses) {
    Spawn(
        {"--no-window", "--state", "3", "--players", "2", "--transcript", (dir / "transcript.txt").string()});
    ASSERT_TRUE(WaitFor([&] {
        return ReadFile(dir / "transcript.txt").find("join 2 \"Player2\"") != std::string::npos;
    })) << ReadFile(dir / "errors.txt");
    std::ifstream mem("/proc/" + std::to_string(pid) + "/mem", std::ios::binary);
    const auto read = [&](uint32_t address, size_t length) {
        std::string bytes(length, '\0');
        mem.seekg(address);
        mem.read(bytes.data(), static_cast<std::streamsize>(length));
        return mem ? bytes : std::string("unreadable");
    };
    EXPECT_EQ(read(game::kVersionText, 9), std::string("V1.5.1.5\0", 9));
    EXPECT_EQ(read(game::kGameState, 1), "\x03");
    EXPECT_EQ(read(game::kPlayerCount, 1), "\x02");
    EXPECT_EQ(read(image::GameImage::SlotAddress(2) + game::slot::kName, 8), std::string("Player2\0", 8));
    EXPECT_EQ(ExitStatus(SIGTERM), 0);
}

TEST_F(GamesimProcessTest, PlaysAScenarioToItsExitAndRefusesABadOne) {
    std::ofstream(dir / "short.scn")
        << "scoringtime 3\nround \"A\" \"A.BMS\"\nloading 1\nwaiting 1\nmatchtime 2\n"
           "at 1.5 chat \"Bob: hi\"\nat 5 exit\n";
    Spawn({"--no-window", "--time-scale", "50", "--scenario", (dir / "short.scn").string(), "--transcript",
           (dir / "transcript.txt").string()});
    EXPECT_EQ(ExitStatus(), 0);
    EXPECT_EQ(ReadFile(dir / "transcript.txt"),
              "0.000 round 1 \"A\" \"A.BMS\"\n0.000 state 1\n1.000 state 2\n1.500 chat \"Bob: hi\"\n"
              "2.000 state 3\n4.000 state 4\n5.000 exit\n");

    std::ofstream(dir / "bad.scn") << "name \"x\"\nmaxplayers lots\n";
    Spawn({"--no-window", "--scenario", (dir / "bad.scn").string()});
    EXPECT_EQ(ExitStatus(), 2);
    EXPECT_NE(ReadFile(dir / "errors.txt").find("bad.scn: line 2: maxplayers must be a whole number"),
              std::string::npos)
        << ReadFile(dir / "errors.txt");
}

}  // namespace
}  // namespace tovi::gamesim
