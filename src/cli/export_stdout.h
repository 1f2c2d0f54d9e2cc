#pragma once
// export SRC -: the file's bytes on stdout, for a pipe into a digest or
// another program. Nothing else goes to stdout then; messages go to stderr.

#include <string>

namespace dscli {

inline bool is_stdout_dest(const std::string& dest) { return dest == "-"; }

// Whether stdout can take the copy; *why tells when not: a terminal, a
// socket, or a file it would not start at the beginning of (opened for
// appending, or written to already).
bool stdout_usable(std::string* why);

// After the copy: the shell's own descriptor moves past the bytes written,
// so that what it writes next follows them.
void stdout_copied();

} // namespace dscli
