#include "mount_point.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <sys/stat.h>

namespace dscli {
namespace {

// A mount point field of /proc/self/mountinfo with its octal escapes
// (\040 for a blank) undone.
std::string unescaped(const std::string& field) {
    std::string out;
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() && field[i + 1] >= '0' && field[i + 1] <= '3') {
            out += static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0'));
            i += 3;
        } else {
            out += field[i];
        }
    }
    return out;
}

// True when the kernel lists real (a resolved path) as a mount point; a
// bind mount of a directory of the same file system shows only there.
bool listed_as_mount_point(const std::string& real) {
    std::ifstream in("/proc/self/mountinfo");
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        std::string id, parent, devno, root, point;
        if ((fields >> id >> parent >> devno >> root >> point) && unescaped(point) == real) return true;
    }
    return false;
}

} // namespace

std::string mount_point_refusal(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) return "no such directory";
        // A mount whose server has gone answers ENOTCONN: it is still there.
        if (errno == ENOTCONN) return "a mount whose server has ended is still there: unmount it first (fusermount3 -u)";
        return std::strerror(errno);
    }
    if (!S_ISDIR(st.st_mode)) return "not a directory";
    char real[PATH_MAX];
    if (::realpath(path.c_str(), real) == nullptr) return std::strerror(errno);
    struct stat up {};
    const std::string parent = std::string(real) + "/..";
    const bool other_device = ::stat(parent.c_str(), &up) == 0 && up.st_dev != st.st_dev;
    if (other_device || listed_as_mount_point(real))
        return "it is already a mount point: unmount what is there first, or choose an empty directory";
    return "";
}

} // namespace dscli
