#include "cli_run.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/prctl.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

namespace clitest {

namespace {
std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        if (nl == std::string::npos) nl = text.size();
        lines.push_back(text.substr(pos, nl - pos));
        pos = nl + 1;
    }
    return lines;
}
} // namespace

std::vector<std::string> RunResult::out_lines() const { return split_lines(out); }
std::vector<std::string> RunResult::err_lines() const { return split_lines(err); }

std::vector<std::string> with_disks(const std::vector<std::string>& images, std::vector<std::string> rest) {
    std::vector<std::string> args;
    for (const std::string& img : images) {
        args.push_back("-d");
        args.push_back(img);
    }
    args.insert(args.end(), rest.begin(), rest.end());
    return args;
}

RunResult run_cli(const std::vector<std::string>& args, const RunOptions& options) {
    int out_pipe[2], err_pipe[2] = {-1, -1};
    int master = -1, slave = -1;
    if (::pipe(out_pipe) != 0) throw std::runtime_error("pipe");
    if (options.stderr_on_terminal) {
        if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) throw std::runtime_error("openpty");
    } else if (::pipe(err_pipe) != 0) {
        throw std::runtime_error("pipe");
    }
    int err_read = options.stderr_on_terminal ? master : err_pipe[0];
    int err_write = options.stderr_on_terminal ? slave : err_pipe[1];

    const pid_t parent = ::getpid();
    pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork");
    if (pid == 0) {
        // A test that is stopped at its time limit takes the program with
        // it, instead of leaving it running on its own.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) ::_exit(127);
        int devnull = ::open("/dev/null", O_RDONLY);
        ::dup2(devnull, 0);
        ::dup2(out_pipe[1], 1);
        ::dup2(err_write, 2);
        ::close(out_pipe[0]);
        ::close(err_read);
        // Only 1 and 2 lead to the pipes: a program that goes into the
        // background (mount) leaves them, and the run then ends.
        for (int fd : {out_pipe[1], err_write, devnull})
            if (fd > 2) ::close(fd);
        std::vector<char*> argv;
        std::string bin = DATUMSIFT_BIN;
        argv.push_back(bin.data());
        std::vector<std::string> copy = args;
        for (std::string& a : copy) argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execv(bin.c_str(), argv.data());
        ::_exit(127);
    }
    ::close(out_pipe[1]);
    ::close(err_write);
    if (options.on_start) options.on_start(pid);

    RunResult r;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(options.timeout_seconds);
    pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_read, POLLIN, 0}};
    std::string* sinks[2] = {&r.out, &r.err};
    int open_fds = 2;
    while (open_fds > 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            break;
        }
        if (::poll(fds, 2, 200) < 0 && errno != EINTR) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char buf[65536];
            ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                sinks[i]->append(buf, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {   // a pty reports EIO once the child is gone
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open_fds;
            }
        }
    }
    for (pollfd& f : fds)
        if (f.fd >= 0) ::close(f.fd);
    // A program that closed its outputs but does not end is stopped at the
    // same deadline.
    int status = 0;
    for (;;) {
        const pid_t w = ::waitpid(pid, &status, WNOHANG);
        if (w == pid || (w < 0 && errno != EINTR)) break;
        if (w == 0 && std::chrono::steady_clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            break;
        }
        ::usleep(2000);
    }
    if (WIFEXITED(status)) r.exit_code = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) r.signal = WTERMSIG(status);
    return r;
}

} // namespace clitest
