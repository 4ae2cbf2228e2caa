#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "GameAddresses.h"
#include "image/GameImage.h"

extern char** environ;

namespace tovi::gamesim {
namespace {

namespace fs = std::filesystem;

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Waits, for a bounded while, until `condition` holds. The bound only keeps a broken run from
// hanging; nothing depends on how long the wait took.
template <typename Condition> bool WaitFor(Condition condition) {
    for (int i = 0; i < 1000; ++i) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return condition();
}

// gamesim running with its standard error going to a file.
class Gamesim {
public:
    Gamesim(std::vector<std::string> args, const fs::path& errors) {
        args.insert(args.begin(), GAMESIM_PATH);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 2, errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (posix_spawn(&m_pid, GAMESIM_PATH, &actions, nullptr, argv.data(), environ) != 0) m_pid = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~Gamesim() {
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
    }
    Gamesim(const Gamesim&) = delete;
    Gamesim& operator=(const Gamesim&) = delete;

    pid_t Pid() const { return m_pid; }

    // The exit status once it has ended by itself (after `signal`, when given); -1 when it won't.
    int Wait(int signal = 0) {
        if (m_pid <= 0) return -1;
        if (signal != 0) ::kill(m_pid, signal);
        int status = 0;
        if (!WaitFor([&] { return ::waitpid(m_pid, &status, WNOHANG) == m_pid; })) return -1;
        m_pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    pid_t m_pid = -1;
};

class GamesimProcessTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() / ("gamesim_test_" + std::to_string(::getpid()));
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }
    fs::path dir;
};

TEST_F(GamesimProcessTest, KeepsTheGameValuesAtTheGameAddresses) {
    const fs::path transcript = dir / "transcript.txt";
    Gamesim sim({"--no-window", "--state", "3", "--players", "2", "--transcript", transcript.string()},
                dir / "errors.txt");
    ASSERT_GT(sim.Pid(), 0);
    ASSERT_TRUE(WaitFor([&] { return ReadFile(transcript).find("join 2 \"Player2\"") != std::string::npos; }))
        << ReadFile(dir / "errors.txt");

    std::ifstream mem("/proc/" + std::to_string(sim.Pid()) + "/mem", std::ios::binary);
    ASSERT_TRUE(mem.is_open());
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
    EXPECT_EQ(sim.Wait(SIGTERM), 0);
}

TEST_F(GamesimProcessTest, PlaysAScenarioToItsExit) {
    const fs::path scenario = dir / "short.scn";
    std::ofstream(scenario) << "scoringtime 3\nround \"A\" \"A.BMS\"\nloading 1\nwaiting 1\nmatchtime 2\n"
                               "at 1.5 chat \"Bob: hi\"\nat 5 exit\n";
    const fs::path transcript = dir / "transcript.txt";
    Gamesim sim({"--no-window", "--time-scale", "50", "--scenario", scenario.string(), "--transcript",
                 transcript.string()},
                dir / "errors.txt");
    EXPECT_EQ(sim.Wait(), 0);
    EXPECT_EQ(ReadFile(transcript),
              "0.000 round 1 \"A\" \"A.BMS\"\n0.000 state 1\n1.000 state 2\n1.500 chat \"Bob: hi\"\n"
              "2.000 state 3\n4.000 state 4\n5.000 exit\n");
}

TEST_F(GamesimProcessTest, BadScenarioOrFlagEndsWithStatusTwo) {
    const fs::path scenario = dir / "bad.scn";
    std::ofstream(scenario) << "name \"x\"\nmaxplayers lots\n";
    Gamesim bad({"--no-window", "--scenario", scenario.string()}, dir / "errors.txt");
    EXPECT_EQ(bad.Wait(), 2);
    EXPECT_NE(ReadFile(dir / "errors.txt").find("bad.scn: line 2: maxplayers must be a whole number"),
              std::string::npos)
        << ReadFile(dir / "errors.txt");

    EXPECT_EQ(Gamesim({"--no-window", "--players", "99"}, dir / "errors2.txt").Wait(), 2);
}

}  // namespace
}  // namespace tovi::gamesim
