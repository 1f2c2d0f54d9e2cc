#include "export_stdout.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace dscli {

std::string stdout_target(std::string* why) {
    struct stat st {};
    if (::fstat(STDOUT_FILENO, &st) != 0) {
        *why = "stdout is closed";
        return "";
    }
    if (::isatty(STDOUT_FILENO) == 1) {
        *why = "refusing to write the file's bytes to a terminal: redirect stdout, or give a host file as DEST";
        return "";
    }
    if (S_ISSOCK(st.st_mode)) {
        *why = "stdout is a socket: pipe it through another program, or give a host file as DEST";
        return "";
    }
    if (S_ISREG(st.st_mode)) {
        // The copy is written through a descriptor of its own, from offset 0.
        const int flags = ::fcntl(STDOUT_FILENO, F_GETFL);
        if (flags < 0 || (flags & O_APPEND) != 0 || ::lseek(STDOUT_FILENO, 0, SEEK_CUR) != 0) {
            *why = "stdout is a file opened for appending or already written to: give it as DEST instead";
            return "";
        }
    }
    const std::string path = "/proc/self/fd/" + std::to_string(STDOUT_FILENO);
    if (::access(path.c_str(), W_OK) != 0) {
        *why = "stdout cannot be reopened (is /proc mounted?): give a host file as DEST";
        return "";
    }
    return path;
}

void stdout_copied() {
    struct stat st {};
    if (::fstat(STDOUT_FILENO, &st) == 0 && S_ISREG(st.st_mode)) ::lseek(STDOUT_FILENO, 0, SEEK_END);
}

} // namespace dscli
