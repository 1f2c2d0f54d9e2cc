#include "faulty_disk.h"

#include "evidence_support.h"

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace evtest {
namespace {

namespace fs = std::filesystem;

pid_t spawn(std::vector<std::string> words, const std::string& output) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (!output.empty()) {
            const int fd = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fd >= 0) {
                ::dup2(fd, STDOUT_FILENO);
                ::dup2(fd, STDERR_FILENO);
            }
        }
        std::vector<char*> argv;
        for (std::string& w : words) argv.push_back(w.data());
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    return pid;
}

// Ends the child: it should already be on its way out after the unmount.
int reap(pid_t pid) {
    int status = 0;
    for (int i = 0; i < 100; ++i) {
        if (::waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ::kill(pid, SIGTERM);
    ::waitpid(pid, &status, 0);
    return -1;
}

} // namespace

const char* why_no_fuse() {
    if (::access("/dev/fuse", R_OK | W_OK) != 0) return "/dev/fuse is missing: no FUSE fault injection here";
    if (!have_program("fusermount3")) return "fusermount3 is not installed";
    if (!have_program("ddrescue") || !have_program("ddrescuelog"))
        return "ddrescue and ddrescuelog (gddrescue) are not installed";
    return nullptr;
}

FaultyDisk::FaultyDisk(const std::string& image, const std::string& mountpoint, const std::vector<std::string>& bad)
    : mountpoint_(mountpoint) {
    fs::create_directories(mountpoint);
    std::vector<std::string> words = {FAULTFS_BIN, image, mountpoint};
    words.insert(words.end(), bad.begin(), bad.end());
    pid_ = spawn(words, "");
    const auto size = fs::file_size(image);
    for (int i = 0; i < 200 && !ready_; ++i) {
        struct stat st {};
        ready_ = ::stat(path().c_str(), &st) == 0 && static_cast<uintmax_t>(st.st_size) == size;
        if (!ready_) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

FaultyDisk::~FaultyDisk() {
    shell("fusermount3 -u " + mountpoint_);
    if (pid_ > 0) reap(pid_);
}

ForegroundMount::ForegroundMount(const std::vector<std::string>& args, const std::string& mountpoint,
                                 const std::string& probe, const std::string& stderr_path)
    : mountpoint_(mountpoint) {
    fs::create_directories(mountpoint);
    std::vector<std::string> words = {DATUMSIFT_BIN};
    words.insert(words.end(), args.begin(), args.end());
    words.insert(words.end(), {"mount", "-f", mountpoint});
    pid_ = spawn(words, stderr_path);
    for (int i = 0; i < 200 && !ready_; ++i) {
        ready_ = ::access((mountpoint + probe).c_str(), F_OK) == 0;
        if (!ready_) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

int ForegroundMount::finish() {
    if (pid_ > 0) {
        shell("fusermount3 -u " + mountpoint_);
        status_ = reap(pid_);
        pid_ = -1;
    }
    return status_;
}

ForegroundMount::~ForegroundMount() { finish(); }

} // namespace evtest
