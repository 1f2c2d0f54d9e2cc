#include "measure.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <fcntl.h>
#include <spawn.h>
#include <time.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace dsbench {

bool CountingSource::read(const std::string& device, int64_t off, int64_t len, uint8_t* buf) {
    {
        std::lock_guard lock(mutex_);
        ++reads;
        bytes += len;
        if (len > 0) ranges_.push_back(Range{device, off, len});
    }
    if (!bad.empty()) {
        // The first bad range ending past off: is it before off + len?
        auto it = std::upper_bound(bad.begin(), bad.end(), std::pair<const std::string&, int64_t>(device, off),
                                   [](const std::pair<const std::string&, int64_t>& key, const BadRange& b) {
                                       return key.first != b.device ? key.first < b.device : key.second < b.off + b.len;
                                   });
        if (it != bad.end() && it->device == device && it->off < off + len) return false;
    }
    return posix_->read(device, off, len, buf);
}

int64_t CountingSource::distinct_bytes() const {
    std::vector<Range> r;
    {
        std::lock_guard lock(mutex_);
        r = ranges_;
    }
    std::sort(r.begin(), r.end(), [](const Range& a, const Range& b) {
        return a.device != b.device ? a.device < b.device : a.off < b.off;
    });
    int64_t total = 0;
    const std::string* device = nullptr;
    int64_t covered_to = 0;   // end of what was counted on *device so far
    for (const Range& x : r) {
        if (!device || *device != x.device) {
            device = &x.device;
            covered_to = x.off;
        }
        const int64_t from = std::max(x.off, covered_to);
        if (x.off + x.len > from) {
            total += x.off + x.len - from;
            covered_to = x.off + x.len;
        }
    }
    return total;
}

void CountingSource::clear() {
    std::lock_guard lock(mutex_);
    reads = 0;
    bytes = 0;
    ranges_.clear();
}

int64_t CountingSource::size(const std::string& device) { return posix_->size(device); }

void CountingSource::close_all() { posix_->close_all(); }

namespace {

// One "key=value" line per field. A value may hold several lines (the
// extents of a file are one per line), so newlines and backslashes are
// escaped: the parent would otherwise keep only the first line.
std::string encode(const Fields& fields) {
    std::string out;
    for (const auto& [k, v] : fields) {
        out += k + "=";
        for (char c : v) {
            if (c == '\\') out += "\\\\";
            else if (c == '\n') out += "\\n";
            else out += c;
        }
        out += '\n';
    }
    return out;
}

std::string unescape(const std::string& v) {
    std::string out;
    for (std::size_t i = 0; i < v.size(); ++i) {
        if (v[i] == '\\' && i + 1 < v.size()) {
            ++i;
            out += v[i] == 'n' ? '\n' : v[i];
        } else {
            out += v[i];
        }
    }
    return out;
}

Fields decode(const std::string& text) {
    Fields f;
    std::string::size_type at = 0;
    while (at < text.size()) {
        std::string::size_type nl = text.find('\n', at);
        if (nl == std::string::npos) nl = text.size();
        std::string line = text.substr(at, nl - at);
        std::string::size_type eq = line.find('=');
        if (eq != std::string::npos) f[line.substr(0, eq)] = unescape(line.substr(eq + 1));
        at = nl + 1;
    }
    return f;
}

bool write_all(int fd, const std::string& s) {
    std::size_t done = 0;
    while (done < s.size()) {
        ssize_t n = ::write(fd, s.data() + done, s.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

double mib_of_rusage(const struct rusage& ru) { return static_cast<double>(ru.ru_maxrss) / 1024.0; }

// Waits for pid; false unless it exited with status 0.
bool wait_for(pid_t pid, struct rusage& ru) {
    int status = 0;
    while (::wait4(pid, &status, 0, &ru) < 0) {
        if (errno != EINTR) return false;
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

} // namespace

ChildOutcome run_child(const std::function<Fields()>& body) {
    ChildOutcome out;
    int fds[2];
    if (::pipe(fds) != 0) {
        out.error = "pipe failed";
        return out;
    }
    std::fflush(nullptr);   // nothing buffered may be written twice
    pid_t pid = ::fork();
    if (pid < 0) {
        ::close(fds[0]);
        ::close(fds[1]);
        out.error = "fork failed";
        return out;
    }
    if (pid == 0) {
        ::close(fds[0]);
        int code = 0;
        Fields result;
        try {
            result = body();
            if (result.count("error")) code = 1;
        } catch (const std::exception& e) {
            result = {{"error", e.what()}};
            code = 1;
        } catch (...) {
            result = {{"error", "unknown exception"}};
            code = 1;
        }
        if (!write_all(fds[1], encode(result))) code = 1;
        ::close(fds[1]);
        std::fflush(nullptr);
        ::_exit(code);
    }
    ::close(fds[1]);
    std::string text;
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(fds[0], buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        text.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fds[0]);
    struct rusage ru {};
    bool exited_ok = wait_for(pid, ru);
    out.fields = decode(text);
    out.peak_rss_mib = mib_of_rusage(ru);
    if (auto it = out.fields.find("error"); it != out.fields.end())
        out.error = it->second;
    else if (!exited_ok)
        out.error = "measurement process failed";
    out.ok = out.error.empty();
    return out;
}

pid_t spawn_process(const std::vector<std::string>& argv, const std::string& stdout_path) {
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::fflush(nullptr);
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    if (!stdout_path.empty())
        ::posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, stdout_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                           0644);
    pid_t pid = 0;
    const int rc = ::posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    ::posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : -1;
}

namespace {

// The bytes the ended, not yet reaped process pid read through read calls,
// from the page cache or not; -1 when the kernel does not tell.
int64_t read_chars(pid_t pid) {
    siginfo_t info{};
    while (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) < 0)
        if (errno != EINTR) return -1;
    std::ifstream io("/proc/" + std::to_string(pid) + "/io");
    std::string key;
    int64_t value = 0;
    while (io >> key >> value)
        if (key == "rchar:") return value;
    return -1;
}

} // namespace

ProcessOutcome wait_process(pid_t pid) {
    ProcessOutcome out;
    if (pid <= 0) return out;
    out.read_bytes = read_chars(pid);
    struct rusage ru {};
    out.ok = wait_for(pid, ru);
    out.peak_rss_mib = mib_of_rusage(ru);
    out.cpu_seconds = static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
                      static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
    return out;
}

ProcessOutcome run_process(const std::vector<std::string>& argv, const std::string& stdout_path) {
    return wait_process(spawn_process(argv, stdout_path));
}

DdRun dd_to_null(const std::vector<Extent>& extents) {
    std::vector<Extent> stretches;
    for (const Extent& e : extents)
        if (!e.image.empty()) append_extent(stretches, e);
    DdRun r;
    Stopwatch sw;
    for (const Extent& e : stretches) {
        ProcessOutcome p = run_process({"dd", "if=" + e.image, "of=/dev/null", "bs=1M",
                                        "skip=" + std::to_string(e.image_offset), "count=" + std::to_string(e.length),
                                        "iflag=skip_bytes,count_bytes", "status=none"});
        r.peak_rss_mib = std::max(r.peak_rss_mib, p.peak_rss_mib);
        r.t.cpu += p.cpu_seconds;
        if (!p.ok) return r;
    }
    r.t.wall = sw.elapsed().wall;
    r.ok = true;
    return r;
}

bool file_matches_extents(const std::string& file, const std::vector<Extent>& extents) {
    std::ifstream out(file, std::ios::binary);
    if (!out) return false;
    std::vector<char> a(1 << 20), b(1 << 20);
    for (const Extent& e : extents) {
        std::ifstream image(e.image, std::ios::binary);
        image.seekg(static_cast<std::streamoff>(e.image_offset));
        for (uint64_t done = 0; done < e.length;) {
            const auto n = static_cast<std::streamsize>(std::min<uint64_t>(a.size(), e.length - done));
            out.read(a.data(), n);
            if (e.image.empty())
                std::fill_n(b.begin(), n, 0);
            else
                image.read(b.data(), n);
            if (!out || (!e.image.empty() && !image) || std::memcmp(a.data(), b.data(), static_cast<std::size_t>(n)) != 0)
                return false;
            done += static_cast<uint64_t>(n);
        }
    }
    return out.peek() == std::char_traits<char>::eof();   // nothing more in the file
}

void write_back_dirty_pages() { ::sync(); }

double Stopwatch::process_cpu() {
    struct timespec ts {};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

} // namespace dsbench
