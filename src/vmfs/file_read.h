#pragma once
// Reading the contents of a file through its descriptor's block list.

#include "vmfs/datastore.h"
#include "vmfs/inode.h"

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace ds {

struct Store;
struct Bitmap;

// The last items read of a bitmap system file: a large file asks for the
// same pointer block for every one of its data blocks, and a directory in
// sub-blocks is read one 140-byte entry at a time, while a walk goes back and
// forth between the sub-blocks of a directory and of its parent (a few
// levels of them). Readers on several threads share it; bytes are copied in
// and out under the lock, and an item is read without it (the read may
// itself come back here for another item).
class ItemMemo {
public:
    // Copies len bytes at off of the item known as id to out when that is
    // an item held and it is size bytes long.
    bool copy_out(uint32_t id, size_t size, int64_t off, int64_t len, uint8_t* out);
    // Holds bytes as the item id, in place of the least recently used one;
    // bytes is left with a buffer of no use.
    void keep(uint32_t id, std::vector<uint8_t>& bytes);
    // A buffer of size bytes for the next item to read (their contents are
    // not set): one that held an item before, so that a walk over thousands
    // of sub-blocks does not fault in fresh pages for each.
    std::vector<uint8_t> take_spare(size_t size);
    void reset();

private:
    // Items held at most, and bytes: a damaged header can claim items of any
    // size, and one of them is then all that is held.
    static constexpr size_t kSlots = 8;
    static constexpr size_t kBudget = 8 * 65536;
    struct Slot {
        bool valid = false;
        uint32_t id = 0;
        uint64_t used = 0;
        std::vector<uint8_t> bytes;
    };
    std::mutex mutex_;
    Slot slots_[kSlots];
    uint64_t clock_ = 0;
    std::vector<uint8_t> spare_;
};

struct FileReadMemos {
    ItemMemo pointer_block;
    ItemMemo sub_block;
    // Done at every opening and closing: they belong to the open file system.
    void reset() {
        pointer_block.reset();
        sub_block.reset();
    }
};

// Finds the block id that holds file position p. Returns 0 with *id set
// (0 for a hole) or -1 when the position cannot be addressed.
int file_block_lookup(Store& store, const Descriptor& inode, int64_t p, uint32_t* id);

// Reads from file position p up to the end of the file block id (at most
// count bytes) into buffer[index...]; bytes read or -1.
int64_t file_block_read(Store& store, uint32_t id, uint8_t* buffer, int64_t index, int64_t count, int64_t p);
// The same through lvm_probe: for scans that look at a few sectors of many
// blocks, each once.
int64_t file_block_probe(Store& store, uint32_t id, uint8_t* buffer, int64_t count, int64_t p);

// The bytes of a file that can hold distinct data: its size, bounded by what
// its 256 block slots (through pointer blocks when it uses them) reach with
// the volume's real block size. A slot never covers more than one file block
// or sub-block, however large the descriptor's block_size claims to be: past
// that the reads would only wrap around inside the same block or fail. 0 for
// a descriptor that addresses nothing.
int64_t file_extent(Store& store, const Descriptor& inode);

// How many file blocks the block list can name: its 256 slots, or as many
// pointer-block entries; 0 for an addressing mode that names none.
int64_t file_slot_count(const Store& store, const Descriptor& inode);

// The first file position at or after p whose slot is a hole (hole true: a
// null id, or a null pointer block for all the ids it would hold) or is not
// (hole false: any id, or a pointer block that cannot be read: a read there
// gives its bytes or fails). Only positions below the size that the slots
// address are looked at; -1 when none of them is of that kind. Walks the
// slots and the ids of the pointer blocks, never the bytes, so the answer
// comes at once whatever size or block size the descriptor claims.
int64_t file_find_slot(Store& store, const Descriptor& inode, int64_t p, bool hole);

// Reads count bytes at position p into buffer[0...]; the count of bytes read
// (0 at or past the end of the file) or -1. Holes (null block ids inside the
// file's size) read as zeros.
int64_t file_read(Store& store, const Descriptor& inode, uint8_t* buffer, int64_t count, int64_t p);

// Reads like file_read, but file blocks through lvm_probe: bytes not in a
// cached chunk are read alone and not kept. For one look at a few bytes in
// an area read nowhere else (a directory's descriptor, as a tree walk
// enters it).
int64_t file_read_probe(Store& store, const Descriptor& inode, uint8_t* buffer, int64_t count, int64_t p);

// Reads from position p on at most max bytes that one read of the disks can
// serve: file blocks that follow each other on one member, or a hole, or
// else what file_read gives. The count of bytes (0 at or past the end of the
// file) or -1. A hole's bytes are zeros that are not stored into buffer:
// *hole tells. When the read of several blocks fails, the first of them is
// read alone, so that a failure still comes at the block that causes it.
//
// With unreadable given, a run of file blocks is read around the sectors
// that fail (DiskReader::read_salvage): they read as zeros and their file
// offsets are appended to unreadable. A block whose pointer block cannot be
// read counts as unreadable whole.
int64_t file_read_run(Store& store, const Descriptor& inode, uint8_t* buffer, int64_t max, int64_t p, bool* hole,
                      std::vector<ByteSpan>* unreadable = nullptr);

// Reads up to count bytes at file position p, no further than the end of the
// block slot holding p, around the sectors that cannot be read: they read
// as zeros and their file offsets are appended to unreadable. File blocks
// and sub-blocks are read this way, holes are zeros; the count of bytes or
// -1 when the slot cannot be found or placed on a disk.
int64_t file_read_salvage(Store& store, const Descriptor& inode, uint8_t* buffer, int64_t count, int64_t p,
                          std::vector<ByteSpan>& unreadable);

// The logical-volume offset of a sub-block: its place in ".sbc.sf", found
// through that file's own block list; -1 when it has none. The sub-block
// lies whole inside that file block.
int64_t subblock_lv_offset(Store& store, uint32_t id);

// True when the len bytes at file position p lie one after another on one
// member's device, inside its size: file blocks that follow each other, none
// a hole, a sub-block or inline. A caller may then have the kernel copy them
// from the device; false means read them with file_read_run.
bool file_range_place(Store& store, const Descriptor& inode, int64_t p, int64_t len, DevicePlace& out);

// Bytes the block named by id really holds: the volume's block size for a
// file block, the sub-block size for a sub-block, 0 for any other kind.
int64_t block_capacity(const Store& store, uint32_t id);

} // namespace ds
