#pragma once
// Directory entries: a directory's contents are packed 140-byte entries.

#include "vmfs/inode.h"

#include <cstdint>
#include <functional>
#include <span>
#include <string>

namespace ds {

inline constexpr int64_t kDirentBytes = 140;

struct tvmfs_dirent {
    uint32_t type = 0;
    uint32_t block_id = 0;
    uint32_t record_id = 0;
    uint8_t name[128] = {};
};

void dirent_parse(std::span<const uint8_t> buf, tvmfs_dirent& entry);

// Hands every entry to action in on-disk order. True when the walk reached
// the end of the directory, false when a read ended it early.
bool dir_walk(const tvmfs_inode& dir, const std::function<void(const tvmfs_dirent&)>& action);

// The name up to its first NUL, trimmed of bytes <= 0x20 at both ends.
std::string dirent_name(const tvmfs_dirent& entry);

// The cleaned name as it is shown: UTF-8, with every invalid sequence
// replaced by U+FFFD.
std::string display_name(const tvmfs_dirent& entry);
std::string utf8_sanitize(const std::string& bytes);

} // namespace ds
