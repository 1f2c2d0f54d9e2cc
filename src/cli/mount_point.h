#pragma once
// Whether a directory may take a mount: it exists, is a directory, and is
// not already where something else is mounted (a second mount there would
// hide the first, and unmounting would then take the wrong one away).

#include <string>

namespace dscli {

// "" when path may be mounted on; otherwise why not, for
// "cannot mount at PATH: <why>".
std::string mount_point_refusal(const std::string& path);

} // namespace dscli
