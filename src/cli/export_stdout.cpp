#include "export_stdout.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace dscli {

bool stdout_usable(std::string* why) {
    struct stat st {};
    if (::fstat(STDOUT_FILENO, &st) != 0) {
        *why = "stdout is closed";
        return false;
    }
    if (::isatty(STDOUT_FILENO) == 1) {
        *why = "refusing to write the file's bytes to a terminal: redirect stdout, or give a host file as DEST";
        return false;
    }
    if (S_ISSOCK(st.st_mode)) {
        *why = "stdout is a socket: pipe it through another program, or give a host file as DEST";
        return false;
    }
    if (S_ISREG(st.st_mode)) {
        // The copy is written through a descriptor of its own, from offset 0.
        const int flags = ::fcntl(STDOUT_FILENO, F_GETFL);
        if (flags < 0 || (flags & O_APPEND) != 0 || ::lseek(STDOUT_FILENO, 0, SEEK_CUR) != 0) {
            *why = "stdout is a file opened for appending or already written to: give it as DEST instead";
            return false;
        }
    }
    return true;
}

void stdout_copied() {
    struct stat st {};
    if (::fstat(STDOUT_FILENO, &st) == 0 && S_ISREG(st.st_mode)) ::lseek(STDOUT_FILENO, 0, SEEK_END);
}

} // namespace dscli
