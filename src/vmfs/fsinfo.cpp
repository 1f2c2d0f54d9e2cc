#include "vmfs/fsinfo.h"
#include "vmfs/store.h"

#include "vmfs/le.h"
#include "vmfs/volume.h"

#include <span>

namespace ds {

bool fsinfo_read(Store& store, FsInfo& info) {
    uint8_t raw[512];
    if (lvm_read(store, raw, 0, kFsInfoOffset, 512) != 512) return false;
    std::span<const uint8_t> b(raw);
    if (load_le<uint32_t>(b, 0) != kFsInfoMagic) return false;
    int64_t bs = load_le<int64_t>(b, 0xA1);
    if (bs < 512 || bs > kMaxBlockSize || (bs & (bs - 1)) != 0) return false;

    load_bytes(b, 0x00, info.magic);
    load_bytes(b, 0x04, info.version);
    info.flags = raw[0x08];
    load_bytes(b, 0x19, info.field_19);
    load_bytes(b, 0x09, info.fs_uuid);
    load_bytes(b, 0x1D, info.label);
    load_bytes(b, 0xA9, info.field_a9);
    info.blocksize = bs;
    info.subblocksize = load_le<int32_t>(b, 0xD9);
    info.fdcheader_size = load_le<int32_t>(b, 0xD1);
    info.fdcbitmap_count = load_le<int32_t>(b, 0xD5);
    load_bytes(b, 0xAD, info.field_ad);
    return true;
}

uint32_t provisional_fdc_block(int64_t blocksize) {
    if (blocksize <= 0) return 1;
    auto n = static_cast<int64_t>(static_cast<double>(kFdcBase) / static_cast<double>(blocksize));
    return n < 1 ? 1u : static_cast<uint32_t>(n);
}

} // namespace ds
