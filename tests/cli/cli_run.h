#pragma once
// Runs the built datumsift binary the way a shell would, and collects what
// it printed on each stream and how it ended.

#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace clitest {

struct RunResult {
    int exit_code = -1;     // -1 when it did not exit normally
    int signal = 0;         // the signal that ended it, 0 when none
    std::string out;
    std::string err;
    std::vector<std::string> out_lines() const;
    std::vector<std::string> err_lines() const;
};

struct RunOptions {
    bool stderr_on_terminal = false;   // stderr is a pseudo-terminal (progress shows)
    int timeout_seconds = 120;
    std::function<void(pid_t)> on_start;   // called with the child's pid once it runs
};

RunResult run_cli(const std::vector<std::string>& args, const RunOptions& options = {});

// "-d" plus each image, then the rest.
std::vector<std::string> with_disks(const std::vector<std::string>& images, std::vector<std::string> rest);

} // namespace clitest
