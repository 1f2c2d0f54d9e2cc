#pragma once
// The file systems and volumes a guest's partition may hold, each adding the
// witnesses and the length its format gives. Internal to the witness reader.

#include "recovery/guest_witness.h"
#include "vmfs/le.h"

#include <algorithm>
#include <span>

namespace ds::guest {

template <class T> T le(const uint8_t* b, size_t off) {
    return load_le<T>(std::span<const uint8_t>(b, off + sizeof(T)), off);
}

struct Scope {
    const GuestReader& read;
    int64_t max_length;
    size_t max_witnesses;
    GuestLayout& out;

    bool room() const { return out.witnesses.size() < max_witnesses; }
    // A witness only where the disk can reach and the count allows.
    bool fits(int64_t offset, int64_t bytes) const { return room() && offset >= 0 && offset + bytes <= max_length; }
    void reaches(int64_t end) {
        if (end > 0 && end <= max_length) out.length = std::max(out.length, end);
    }
};

// Each returns true when the partition at `part` holds its format.
bool ext_witnesses(Scope& s, int64_t part);
bool ntfs_witnesses(Scope& s, int64_t part, int64_t part_bytes);
bool lvm_witnesses(Scope& s, int64_t part);
bool swap_length(Scope& s, int64_t part);

bool ext_superblock_holds(const Witness& w, const uint8_t* b);
bool ext_descriptors_hold(const Witness& w, const uint8_t* b);
bool ntfs_record_holds(const Witness& w, const uint8_t* b);
bool lvm_header_holds(const Witness& w, const uint8_t* b);

} // namespace ds::guest
