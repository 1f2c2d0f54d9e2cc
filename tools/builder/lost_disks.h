// Deleted virtual disks to rebuild: ext4 guests (MBR, one partition, made by
// mkfs.ext4 from a folder of known files) stored through several pointer
// blocks, their descriptors gone, their pointer blocks interleaved in
// .pbc.sf and their file blocks interleaved on the volume, beside a live
// disk that must stay untouched. The original flat disks are kept on the
// host for comparison.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "scenarios.h"
#include "virtual_machine.h"

namespace dsb {

struct LostVmDisk {
    std::string original; // the flat disk as it was, a sparse host file
    std::uint64_t size = 0;
    bool thin = false;
    std::uint64_t partition_offset = 0;
    std::vector<std::uint32_t> pointer_blocks; // per position; 0 where a thin disk has none
    std::vector<std::uint32_t> file_blocks;    // every block id it used
    std::vector<GuestFile> guest_files;        // empty for a disk without a file system
    // Positions whose blocks a live file took over: they cannot come back.
    std::vector<std::size_t> lost_positions;
};

struct LostVmSummary : ImageSummary {
    std::vector<LostVmDisk> disks;  // in walk order of their first pointer blocks
    std::uint32_t live_disk = 0;    // descriptor id of the live flat disk
    std::uint32_t reusing_file = 0; // the live file that took over blocks of disks[2]
    std::uint64_t piece_bytes = 0;  // bytes one pointer block addresses
};

// Three deleted disks: a thick ext4 guest, a thin ext4 guest (interleaved
// with the first) and a small disk whose second piece's blocks a live file
// reuses. Throws std::runtime_error when mkfs.ext4 is missing.
LostVmSummary build_lost_vms(const std::string& dir);

// Two deleted disks of 2.25 GiB (three pointer blocks of 1024 ids each) of
// other guests, interleaved beside a live disk: a thick GPT disk (sgdisk)
// with ext4, group 9's superblock backup overwritten, and a thin MBR disk
// with NTFS (mkntfs; files copied in by ntfscp, so at its root). Throws
// std::runtime_error naming the tool that is missing.
LostVmSummary build_lost_guests(const std::string& dir);

} // namespace dsb
