// The least a follower of the game server can do: one read of its memory a second, on the
// program's own poll schedule, and nothing else. What it costs is the floor the program is held
// against (bench/floor-compare).
//
//   tovi_bench_floor PID
#include <sys/uio.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "GameAddresses.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: tovi_bench_floor PID\n");
        return 2;
    }
    const auto pid = static_cast<pid_t>(std::strtol(argv[1], nullptr, 10));
    uint8_t state = 0;
    auto next = std::chrono::steady_clock::now();
    for (;;) {
        iovec local{&state, sizeof state};
        iovec remote{reinterpret_cast<void*>(uintptr_t{tovi::game::kGameState}), sizeof state};
        if (process_vm_readv(pid, &local, 1, &remote, 1, 0) != static_cast<ssize_t>(sizeof state)) return 1;
        next += std::chrono::seconds(1);
        std::this_thread::sleep_until(next);
    }
}
