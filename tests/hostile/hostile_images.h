#pragma once
// Small builder datastores for the hostile-disk tests, and the offsets of
// the places the tests damage.

#include "builder/datastore_builder.h"
#include "builder/le.h"
#include "builder/scenarios.h"
#include "support/open_images.h"
#include "support/test_support.h"
#include "vmfs/fs.h"
#include "vmfs/volume.h"
#include "text/messages.h"

#include <functional>
#include <gtest/gtest.h>
#include <string>

namespace hostile {

using BuildFn = std::function<void(dsb::ImageBuilder&)>;
using TuneFn = std::function<void(dsb::DatastoreOptions&)>;

// Builds a one-member datastore at path (build runs before finish, damage
// after it) and adds it as the only disk.
inline void make(const std::string& path, const BuildFn& build, const BuildFn& damage = {}, const TuneFn& tune = {}) {
    dsb::DatastoreOptions o;
    o.path = path;
    if (tune) tune(o);
    dsb::ImageBuilder ds(o);
    if (build) build(ds);
    ds.finish();
    if (damage) damage(ds);
}

// make() and then the opening, which must go through without a message.
inline ::testing::AssertionResult open_built(ds::Datastore& store, const std::string& path, const BuildFn& build,
                                             const BuildFn& damage = {}, const TuneFn& tune = {}) {
    make(path, build, damage, tune);
    ds::AddDiskRefusal why = ds::AddDiskRefusal::none;
    if (ds::add_disk(store, path, 2048, &why) != 0)
        return ::testing::AssertionFailure() << "disk refused: " << ds::add_disk_message(why);
    ds::OpenOutcome o = ds::fs_open(store);
    if (o.failure != ds::OpenFailure::none) return ::testing::AssertionFailure() << "open: " << ds::open_message(o.failure);
    return ::testing::AssertionSuccess();
}

// Byte offset in a one-member image of logical-volume offset lv.
inline uint64_t image_offset(const dsb::ImageBuilder& ds, uint64_t lv) { return ds.volume().locate(lv).image_offset; }

// Logical-volume offset of byte `offset` of a bitmap system file.
inline uint64_t sys_lv(const dsb::ImageBuilder& ds, dsb::SysFile f, uint64_t offset) {
    return uint64_t{ds.system_file_first_block(f)} * ds.block_size() + offset;
}

template <typename T>
void put(dsb::ImageBuilder& ds, uint64_t lv, T v) {
    uint8_t b[sizeof(T)];
    dsb::put_le<T>(b, 0, v);
    ds.write_lv(lv, b);
}

} // namespace hostile
