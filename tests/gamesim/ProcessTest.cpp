#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace tovi::gamesim {
namespace {

namespace fs = std::filesystem;

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// gamesim run to its end in a fresh folder, its standard error going to errors.txt there. The
// time limit only keeps a broken run from hanging; nothing depends on how long it took.
class GamesimProcessTest : public ::testing::Test {
protected:
    void SetUp() override { fs::create_directories(dir); }
    void TearDown() override { fs::remove_all(dir); }
    // The exit status; 124 when it did not end by itself.
    int Run(const std::string& args) {
        const int status = std::system(("timeout 30 " GAMESIM_PATH " " + args + " 2>" +
                                        (dir / "errors.txt").string()).c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    fs::path dir = fs::temp_directory_path() / ("gamesim_test_" + std::to_string(::getpid()));
};

TEST_F(GamesimProcessTest, PlaysAScenarioToItsExitAndRefusesABadOne) {
    std::ofstream(dir / "short.scn")
        << "scoringtime 3\nround \"A\" \"A.BMS\"\nloading 1\nwaiting 1\nmatchtime 2\n"
           "at 1.5 chat \"Bob: hi\"\nat 5 exit\n";
    EXPECT_EQ(Run("--no-window --time-scale 50 --scenario " + (dir / "short.scn").string() +
                  " --transcript " + (dir / "transcript.txt").string()),
              0)
        << ReadFile(dir / "errors.txt");
    EXPECT_EQ(ReadFile(dir / "transcript.txt"),
              "0.000 round 1 \"A\" \"A.BMS\"\n0.000 state 1\n1.000 state 2\n1.500 chat \"Bob: hi\"\n"
              "2.000 state 3\n4.000 state 4\n5.000 exit\n");

    std::ofstream(dir / "bad.scn") << "name \"x\"\nmaxplayers lots\n";
    EXPECT_EQ(Run("--no-window --scenario " + (dir / "bad.scn").string()), 2);
    EXPECT_NE(ReadFile(dir / "errors.txt").find("bad.scn: line 2: maxplayers must be a whole number"),
              std::string::npos)
        << ReadFile(dir / "errors.txt");
}

}  // namespace
}  // namespace tovi::gamesim
