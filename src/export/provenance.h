#pragma once
// What an export record says about how it was made.

namespace ds {

// The program's version, "X.Y.Z", as the build was given it.
const char* program_version();

} // namespace ds
