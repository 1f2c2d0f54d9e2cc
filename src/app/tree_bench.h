#pragma once
// The tree's half of the window bench: one folder of N entries listed and
// scrolled through.

#include <string>

int tree_bench(const std::string& dir, unsigned long entries);
