#pragma once
// The window's half of the full-size bench: 32 members, a million files,
// a first hour's browsing and the three scans.

#include <cstdint>
#include <string>

int huge_bench(const std::string& dir, uint64_t files);
