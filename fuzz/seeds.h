#pragma once
// Seed inputs for every fuzz target, made from the builder's datastore:
// undamaged records to mutate from, and records damaged the ways a failing
// or half-overwritten disk damages them.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace dsfuzz {

struct Seed {
    std::string name;
    std::vector<uint8_t> bytes;
};

// Target name (volume_header, fsinfo, bitmap, descriptor, dirent, mbr,
// datastore) to its seeds.
std::map<std::string, std::vector<Seed>> make_seeds();

} // namespace dsfuzz
