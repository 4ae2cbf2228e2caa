#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "MemoryClass.h"
#include "linux/LinuxProcessBackend.h"

using namespace tovi;
using namespace tovi::linux_backend;
namespace fs = std::filesystem;

TEST(LinuxPaths, AWineCommandLineGivesTheWindowsPathOfTheExecutable) {
    using namespace std::string_literals;
    EXPECT_EQ(WindowsPathFromCommandLine("C:\\Games\\JO\\JOINTOPS.EXE\0-port\0"s), "C:\\Games\\JO\\JOINTOPS.EXE");
    EXPECT_EQ(WindowsPathFromCommandLine("x.Exe"s), "x.Exe");
    EXPECT_EQ(WindowsPathFromCommandLine("/usr/bin/wine\0C:\\jointops.exe\0"s), std::nullopt);
    EXPECT_EQ(WindowsPathFromCommandLine(".exe-not\0"s), std::nullopt);
    EXPECT_EQ(WindowsPathFromCommandLine(""s), std::nullopt);
}

TEST(LinuxPaths, ListingReadsTheProcessTableAndSkipsWhatItCannotPlace) {
    const fs::path root = fs::temp_directory_path() / ("tovi-proc-" + std::to_string(::getpid()));
    fs::remove_all(root);
    auto process = [&](const std::string& pid, const std::string& cmdline, const std::string& exe) {
        fs::create_directories(root / pid);
        std::ofstream(root / pid / "cmdline", std::ios::binary) << cmdline;
        if (!exe.empty()) fs::create_symlink(exe, root / pid / "exe");
    };
    using namespace std::string_literals;
    process("41", "C:\\JO\\JOINTOPS.EXE\0-dedicated\0"s, "/usr/lib/wine/wine64-preloader");
    process("7", "/opt/jo/server\0"s, "/opt/jo/jointops.exe");
    process("300", "j.exe\0"s, "/usr/bin/sleep");           // shorter than the filter
    process("12", "/usr/bin/jointops\0"s, "");              // exe unreadable: skipped
    fs::create_directories(root / "self");
    fs::create_directories(root / "sys");

    LinuxProcessBackend backend(root.string());
    EXPECT_EQ(backend.ListProcessIds(), (std::vector<int32_t>{7, 12, 41, 300}));
    MemoryClass memory(backend);
    std::vector<std::string> found;
    memory.ListProcesses(found, "jointops.exe");
    EXPECT_EQ(found, (std::vector<std::string>{"7|/opt/jo/jointops.exe", "41|C:\\JO\\JOINTOPS.EXE"}));
    fs::remove_all(root);
}
