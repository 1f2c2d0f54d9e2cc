#pragma once
// export SRC -: the file's bytes on stdout, for a pipe into a digest or
// another program. Nothing else goes to stdout then; messages go to stderr.

#include <string>

namespace dscli {

inline bool is_stdout_dest(const std::string& dest) { return dest == "-"; }

// The name through which the export opens stdout, or empty with *why set
// when stdout cannot take the copy: a terminal, or a file it would not start
// at the beginning of (opened for appending, or written to already).
std::string stdout_target(std::string* why);

// After the copy: the shell's own descriptor moves past the bytes written,
// so that what it writes next follows them.
void stdout_copied();

} // namespace dscli
