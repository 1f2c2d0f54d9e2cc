// A real virtual machine inside a datastore: a text disk descriptor naming a
// flat file, and the flat file holding an MBR with one Linux partition that
// carries an ext4 file system made by mkfs.ext4 from a folder of known
// files. Host tools (qemu-img, a loop device, the kernel's ext4) can then be
// pointed at what the reader serves and must find those files again.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "scenarios.h"

namespace dsb {

struct GuestFile {
    std::string path; // relative to the guest file system's root
    std::vector<std::uint8_t> bytes;
};

struct VmOptions {
    std::uint64_t disk_size = 64 * layout::kMiB;  // the virtual disk, whole MiB
    std::uint64_t partition_start = layout::kMiB; // byte offset of the partition in the disk
    bool thin = true;                             // zero blocks of the flat file stay unallocated
};

struct VmSummary : ImageSummary {
    ObjectExpect descriptor; // /vm1/vm1.vmdk, the text descriptor
    ObjectExpect flat;       // /vm1/vm1-flat.vmdk
    ObjectExpect config;     // /vm1/vm1.vmx
    std::uint64_t partition_offset = 0;
    std::uint64_t partition_size = 0;
    std::vector<GuestFile> guest_files; // what the ext4 file system holds
    std::string guest_image;            // the partition image mkfs.ext4 wrote, kept beside the datastore
};

// Writes dir/vm.img. Runs mkfs.ext4 (e2fsprogs); throws std::runtime_error
// when it is missing or fails.
VmSummary build_vm(const std::string& dir, const VmOptions& options = {});

// Whether mkfs.ext4 can be run here (build_vm needs it).
bool have_mkfs_ext4();
std::string mkfs_ext4_path(); // empty when missing

// Runs argv (no shell, stdout discarded); throws when it does not exit 0.
void run_program(const std::vector<std::string>& argv);

// The text descriptor of a flat VMFS disk of `sectors` sectors.
std::string vmfs_disk_descriptor(const std::string& flat_name, std::uint64_t sectors);

} // namespace dsb
