#pragma once
// File descriptors: 2048-byte items of ".fdc.sf".

#include "vmfs/datastore.h"
#include <cstdint>
#include <span>

namespace ds {

struct Store;

inline constexpr int64_t kDescriptorBytes = 2048;
inline constexpr int kBlockSlots = 256;
inline constexpr int64_t kInlineLimit = 1024;   // contents kept inside the descriptor

struct Descriptor {
    // metadata header (the first 64 of its 512 bytes)
    uint32_t magic = 0;
    int64_t meta_pos = 0;
    int64_t meta_hb_pos = 0;
    int64_t meta_hb_seq = 0;
    int64_t meta_obj_seq = 0;
    uint32_t meta_hb_lock = 0;
    uint8_t meta_hb_uuid[16] = {};
    uint8_t meta_mtime[8] = {};
    // descriptor proper
    uint32_t id = 0;
    uint32_t id2 = 0;
    uint32_t nlink = 0;
    uint32_t type = 0;
    uint32_t flags = 0;
    int64_t size = 0;
    int64_t block_size = 0;
    int64_t block_count = 0;
    int32_t create_time = 0;
    int32_t update_time = 0;
    int32_t atime = 0;
    uint32_t uid = 0;
    uint32_t gid = 0;
    uint32_t mode = 0;
    uint32_t addr_mode = 0;
    uint32_t tbz = 0;
    uint32_t cow = 0;
    uint32_t type6_value = 0;
    uint32_t blocks[kBlockSlots] = {};
};

// Fills the metadata header fields from the first 64 bytes of buf.
void inode_parse_header(Descriptor& inode, std::span<const uint8_t> buf);
// Fills the whole record from a 2048-byte descriptor.
void inode_parse(Descriptor& inode, std::span<const uint8_t> buf);
// Reads descriptor id from ".fdc.sf"; -1 (record unchanged) when unreadable.
int inode_get(Store& store, uint32_t id, Descriptor& inode);
// Where a descriptor's fields lie, between its metadata header and its block
// list: all a stat shows.
inline constexpr int kDescriptorFieldsStart = 0x200;
inline constexpr int kDescriptorFieldsEnd = 0x250;
// Reads only those bytes of descriptor id into its fields; the header, the
// block list and type6_value are left as they were. A walk that dates every
// file copies 80 bytes of each descriptor, not 2 KiB. -1 (record
// unchanged) when unreadable.
int inode_get_fields(Store& store, uint32_t id, Descriptor& inode);
// Reads descriptor id like inode_get, but bytes not in a cached chunk alone
// (file_read_probe): for a directory a walk enters, whose descriptor lies
// among its parent's files', which a tree does not otherwise read.
int inode_get_probe(Store& store, uint32_t id, Descriptor& inode);
// The same read without the parse, for scans that look at two fields of
// every slot before they need the rest.
bool inode_read_raw(Store& store, uint32_t id, uint8_t (&buf)[kDescriptorBytes]);
inline constexpr size_t kDescriptorIdOffset = 0x200;
inline constexpr size_t kDescriptorTypeOffset = 0x20C;

// The 1024 bytes at 0x400 rebuilt from the block list, where small files
// keep their contents.
void inode_inline_bytes(const Descriptor& inode, uint8_t (&out)[1024]);

} // namespace ds
