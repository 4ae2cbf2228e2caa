#pragma once
// tovistats run as an operator runs its command-line tools, for tests that define
// TOVI_TOVISTATS_PATH (POSIX systems).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "Fakes.h"

namespace tovi::testing {

struct ToolRun {
    int Code = -1;
    std::string Output;  // standard output and standard error
};

// Runs tovistats with `input` on its standard input (a pipe, not a terminal).
inline ToolRun Tovistats(const TempFolder& dir, const std::vector<std::string>& args, const std::string& input = "") {
    const fs::path output = dir / "tool-output.txt";
    int fds[2];
    if (pipe(fds) != 0) return {};
    const pid_t child = fork();
    if (child == 0) {
        const int fd = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fds[0], 0);
        dup2(fd, 1);
        dup2(fd, 2);
        close(fds[1]);
        std::vector<char*> argv = {const_cast<char*>(TOVI_TOVISTATS_PATH)};
        for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(fds[0]);
    if (write(fds[1], input.data(), input.size()) != static_cast<ssize_t>(input.size())) ADD_FAILURE();
    close(fds[1]);
    int status = 0;
    waitpid(child, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadBytes(output)};
}

}  // namespace tovi::testing
