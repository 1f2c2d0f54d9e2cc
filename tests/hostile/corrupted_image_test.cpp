// Datastores damaged the ways failing and half-overwritten disks are: cut
// short, zeroed, filled with noise, with absurd sizes and counts, with names
// that are not text and with block ids of the wrong kind. Each gets the
// system's own failure or message, and every operation ends.

#include "vmfs/store.h"
#include "support/formatted.h"
#include "hostile_images.h"

#include "recovery/deleted_files.h"
#include "recovery/formatted_dirs.h"
#include "recovery/lost_vmdks.h"
#include "vmfs/blockid.h"
#include "vmfs/dirent.h"
#include "export/file_export.h"
#include "vmfs/file_read.h"
#include "vmfs/inode.h"
#include "support/listing.h"
#include "vmfs/tree_walk.h"

#include <chrono>
#include <filesystem>
#include <gtest/gtest.h>
#include <random>
#include <thread>
#include <unistd.h>

namespace {

namespace layout = dsb::layout;
using dsb::SysFile;
using hostile::make;
using hostile::put;
using hostile::sys_lv;

constexpr uint64_t kMiB = layout::kMiB;

// The messages the browse command can end with.
const std::vector<std::string> kOpenMessages = {"",
                                                "please set disks first",
                                                "fs info read error",
                                                "fdc open error",
                                                "root_dir open error",
                                                "fbb open error",
                                                "pbc open error",
                                                "sbc open error"};

bool is_open_message(const std::string& m) {
    return std::find(kOpenMessages.begin(), kOpenMessages.end(), m) != kOpenMessages.end();
}

// Everything an operator can run on an opened datastore, each bounded the
// way the front ends bound it; returns what the scans ended with.
struct Everything {
    std::string open;
    int64_t tree_entries = 0;
    ds::ScanEnd deleted = ds::ScanEnd::not_open, formatted = ds::ScanEnd::not_open, vmdk = ds::ScanEnd::not_open;
};

Everything run_everything(ds::Datastore& store, const std::string& sink) {
    Everything e;
    ds::OpenOutcome o = ds::fs_open(store);
    e.open = ds::open_message(o.failure);
    const ds::ScanProgress go_on = [](int) { return true; };
    if (o.tree_rebuilt) {
        e.tree_entries = ds::tree_walk(store, ds::kRootDirId, "/", [&](const ds::TreeNode& n) {
                             if (!n.entry.is_dir) {
                                 ds::Descriptor inode;
                                 if (ds::inode_get(store, n.entry.descriptor_id, inode) == 0)
                                     ds::file_export(store, ds::file_of(inode), sink, [](int64_t done, int64_t) { return done < 8 << 20; });
                             }
                             return true;
                         }).entries;
    }
    e.deleted = ds::scan_deleted_files(store, go_on, {}).end;
    e.formatted = dstest::find_formatted(store, go_on, {});
    e.vmdk = ds::scan_lost_vmdks(store, go_on, {}).end;
    return e;
}

double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

class Corrupted : public dstest::WithDatastore {
protected:
    dstest::TempDir dir;
    std::string img = dir.file("d.img");
    std::string sink = dir.file("out.bin");

    ds::AddDiskRefusal add() {
        ds::AddDiskRefusal why = ds::AddDiskRefusal::none;
        ds::add_disk(store, img, 2048, &why);
        return why;
    }
    std::string open() {
        EXPECT_EQ(add(), ds::AddDiskRefusal::none);
        return ds::open_message(ds::fs_open(store).failure);
    }
    ds::ExportResult export_id(uint32_t id) {
        ds::Descriptor inode;
        if (ds::inode_get(store, id, inode) != 0) return {};
        return ds::file_export(store, ds::file_of(inode), sink);
    }
};

// Where the cuts below fall: the system files come first on the volume, the
// root directory's block after the files' data.
struct Layout {
    uint64_t fdc = 0, pbc = 0;   // image offsets of the system files
    uint64_t root = 0;           // image offset of the root directory's block
    uint32_t big = 0;            // a file in file blocks
    uint64_t big_data = 0;       // image offset of its second block
};

Layout build_plain(const std::string& img) {
    Layout l;
    make(img, [&](dsb::ImageBuilder& ds) {
        ds.add_file("/vm/small.txt", dsb::text_file("small"));
        l.big = ds.add_file("/vm/big.bin", dsb::generated_file(3 * kMiB, dsb::pattern_content(9), dsb::Storage::FileBlocks));
    }, [&](dsb::ImageBuilder& ds) {
        auto block = [&](uint32_t id) { return hostile::image_offset(ds, uint64_t{dsb::fb_number(id)} * ds.block_size()); };
        l.fdc = hostile::image_offset(ds, sys_lv(ds, SysFile::Fdc, 0));
        l.pbc = hostile::image_offset(ds, sys_lv(ds, SysFile::Pbc, 0));
        l.root = block(ds.info(ds.root()).data_ids.at(0));
        l.big_data = block(ds.info(l.big).data_ids.at(1));
    });
    return l;
}

TEST_F(Corrupted, ImagesCutShortGiveTheMessageOfWhatIsMissing) {
    const uint64_t partition = 2048 * 512;
    const uint64_t lv0 = partition + 0x1100000;
    struct Cut {
        const char* where;
        std::function<uint64_t(const Layout&)> at;
        ds::AddDiskRefusal refusal;
        std::string open;
        bool completed;   // the root walk reached its end
        ds::ScanEnd deleted;
    };
    const auto not_open = ds::ScanEnd::not_open;
    // Whenever the opening did not reach the root's entry of .fdc.sf, the
    // scan says so instead of walking the one-block stand-in.
    const auto no_fdc = ds::ScanEnd::fdc_missing;
    const std::vector<Cut> cuts = {
        {"inside the volume header", [&](const Layout&) { return partition + 0x100000 + 700; },
         ds::AddDiskRefusal::not_found, "", false, not_open},
        {"inside the fs descriptor", [&](const Layout&) { return lv0 + 0x200000 + 100; }, ds::AddDiskRefusal::none,
         "fs info read error", false, not_open},
        {"inside the header of .fdc.sf", [](const Layout& l) { return l.fdc + 20; }, ds::AddDiskRefusal::none,
         "fdc open error", false, no_fdc},
        // The root descriptor is read but not the root's entries, which lie
        // after the cut: the opening ends without a message and without the
        // real .fdc.sf.
        {"inside the items of .fdc.sf", [](const Layout& l) { return l.fdc + 90000; }, ds::AddDiskRefusal::none, "",
         false, no_fdc},
        {"inside the header of .pbc.sf", [](const Layout& l) { return l.pbc + 27; }, ds::AddDiskRefusal::none, "",
         false, no_fdc},
        // "." and ".." are read, the system files' entries are not.
        {"inside the root directory", [](const Layout& l) { return l.root + 300; }, ds::AddDiskRefusal::none, "",
         false, no_fdc},
    };
    for (const Cut& c : cuts) {
        SCOPED_TRACE(c.where);
        new_store();
        const Layout l = build_plain(img);
        ASSERT_EQ(::truncate(img.c_str(), static_cast<off_t>(c.at(l))), 0);
        EXPECT_EQ(add(), c.refusal);
        if (c.refusal != ds::AddDiskRefusal::none) continue;
        const ds::OpenOutcome o = ds::fs_open(store);
        EXPECT_EQ(ds::open_message(o.failure), c.open);
        EXPECT_EQ(o.completed, c.completed);
        EXPECT_EQ(ds::scan_deleted_files(store, [](int) { return true; }, {}).end, c.deleted);
        Everything e = run_everything(store, sink);
        EXPECT_EQ(e.open, c.open);
    }
}

TEST_F(Corrupted, AnImageCutInsideADataBlockExportsUpToTheCut) {
    const Layout l = build_plain(img);
    ASSERT_EQ(::truncate(img.c_str(), static_cast<off_t>(l.big_data + 1000)), 0);
    ASSERT_EQ(open(), "");
    const ds::ExportResult r = export_id(l.big);
    EXPECT_NE(r.failure, ds::ExportFailure::none);
    EXPECT_EQ(r.failure, ds::ExportFailure::read);
    EXPECT_EQ(r.read_failure, ds::Failure{ds::Fault::past_device});
    EXPECT_EQ(r.bytes_written, static_cast<int64_t>(kMiB));   // the first chunk, whole
}

TEST_F(Corrupted, ZeroedMetadataGivesTheOpeningsMessages) {
    struct Zero {
        const char* what;
        std::function<uint64_t(dsb::ImageBuilder&)> lv;
        uint64_t len;
        std::string open;
    };
    uint32_t root_slot = 0;
    const std::vector<Zero> zeros = {
        {"fs descriptor", [](dsb::ImageBuilder&) { return layout::kFsDescriptorOffset; }, 512, "fs info read error"},
        {".fdc.sf header", [](dsb::ImageBuilder& ds) { return sys_lv(ds, SysFile::Fdc, 0); }, 512, "fdc open error"},
        {".sbc.sf header", [](dsb::ImageBuilder& ds) { return sys_lv(ds, SysFile::Sbc, 0); }, 512, "sbc open error"},
        {".fbb.sf descriptor", [](dsb::ImageBuilder& ds) { return ds.item_lv_offset(ds.system_file(SysFile::Fbb)); },
         2048, "fbb open error"},
        // A zeroed root descriptor is a descriptor of type 0 and size 0: an
        // empty root that names no system file.
        {"root descriptor", [&](dsb::ImageBuilder& ds) { return ds.item_lv_offset(root_slot = ds.root()); }, 2048, ""},
    };
    for (const Zero& z : zeros) {
        SCOPED_TRACE(z.what);
        new_store();
        make(img, {}, [&](dsb::ImageBuilder& ds) { ds.write_lv(z.lv(ds), std::vector<uint8_t>(z.len, 0)); });
        ASSERT_EQ(add(), ds::AddDiskRefusal::none);
        Everything e = run_everything(store, sink);
        EXPECT_EQ(e.open, z.open);
    }
    // The zeroed root is no directory: double-clicking "/" does nothing.
    EXPECT_EQ(ds::list_directory(store, root_slot).status, ds::ListStatus::not_directory);
}

TEST_F(Corrupted, RandomMetadataNeverCrashesOrHangs) {
    for (uint32_t seed = 1; seed <= 12; ++seed) {
        SCOPED_TRACE(seed);
        new_store();
        make(img, [](dsb::ImageBuilder& ds) {
            ds.add_file("/vm/disk-flat.vmdk", dsb::generated_file(2 * kMiB, dsb::pattern_content(3), dsb::Storage::PointerBlocks));
            ds.add_file("/vm/vm.vmx", dsb::text_file("displayName = \"vm\"\n"));
            ds.add_file("/vm/nvram", dsb::generated_file(9000, dsb::pattern_content(4), dsb::Storage::SubBlocks));
        }, [&](dsb::ImageBuilder& ds) {
            std::mt19937 rng(seed);
            std::vector<uint64_t> places = {layout::kFsDescriptorOffset + 0xA9, ds.item_lv_offset(ds.root()),
                                            ds.item_lv_offset(ds.lookup("/vm")),
                                            ds.item_lv_offset(ds.lookup("/vm/disk-flat.vmdk"))};
            for (SysFile f : {SysFile::Fdc, SysFile::Sbc, SysFile::Pbc, SysFile::Fbb})
                places.push_back(sys_lv(ds, f, (seed % 2) ? 0 : 65536));
            const uint64_t at = places[seed % places.size()] + rng() % 64;
            std::vector<uint8_t> junk(512 + rng() % 3000);
            for (uint8_t& b : junk) b = static_cast<uint8_t>(rng());
            ds.write_lv(at, junk);
        });
        if (add() != ds::AddDiskRefusal::none) continue;
        const auto t0 = std::chrono::steady_clock::now();
        Everything e = run_everything(store, sink);
        EXPECT_TRUE(is_open_message(e.open)) << e.open;
        EXPECT_LT(seconds_since(t0), 30.0);
    }
}

// A directory whose size says 2^62 over one real block of entries: the
// listing shows the real entries and ends at the first slot without a block.
TEST_F(Corrupted, ADirectoryOfSize2To62EndsAtItsLastBlock) {
    uint32_t vm = 0;
    make(img, [&](dsb::ImageBuilder& ds) {
        vm = ds.mkdir("/vm", dsb::Storage::FileBlocks);
        ds.add_file("/vm/a.txt", dsb::text_file("a"));
    }, [&](dsb::ImageBuilder& ds) { put<int64_t>(ds, ds.item_lv_offset(vm) + layout::fd::kSize, int64_t{1} << 62); });
    ASSERT_EQ(open(), "");
    const auto t0 = std::chrono::steady_clock::now();
    ds::Listing l = ds::list_directory(store, vm);
    EXPECT_LT(seconds_since(t0), 10.0);
    EXPECT_EQ(l.status, ds::ListStatus::ended_early);
    ASSERT_EQ(l.entries.size(), 1u);
    EXPECT_EQ(l.entries[0].name, "a.txt");
}

// The same size through pointer blocks, where 256 slots of 1024 blocks would
// reach 256 GiB of empty entries, and with a block size that makes one slot
// cover the whole size.
TEST_F(Corrupted, HugeSparseDirectoriesEndQuickly) {
    uint32_t vm = 0;
    for (int variant = 0; variant < 4; ++variant) {
        SCOPED_TRACE(variant);
        new_store();
        make(img, [&](dsb::ImageBuilder& ds) {
            vm = ds.mkdir("/vm", dsb::Storage::FileBlocks);
            ds.add_file("/vm/a.txt", dsb::text_file("a"));
        }, [&](dsb::ImageBuilder& ds) {
            const uint64_t d = ds.item_lv_offset(vm);
            put<int64_t>(ds, d + layout::fd::kSize, int64_t{1} << 62);
            if (variant == 1) {
                // addr_mode 3 with blocks[0] naming a pointer block whose
                // first id is the directory's own block, the rest holes.
                const uint32_t pb = ds.unused(SysFile::Pbc);
                std::vector<uint8_t> ids(4096, 0);
                dsb::put_le<uint32_t>(ids, 0, ds.info(vm).data_ids.at(0));
                ds.write_item(pb, 0, ids);
                ds.set_free(pb, false);
                put<uint32_t>(ds, d + layout::fd::kAddrMode, 3);
                put<uint32_t>(ds, d + layout::fd::kBlocks, pb);
            }
            if (variant == 2) put<int64_t>(ds, d + layout::fd::kBlockSize, int64_t{1} << 61);
            if (variant == 3) {
                // Every slot names one pointer block whose every id is the
                // directory's own block: 2 TiB of real entries, the same
                // 8 MiB read again and again. Only the bound on the count of
                // entries ends this walk, after 1/500 of them.
                const uint32_t pb = ds.unused(SysFile::Pbc);
                std::vector<uint8_t> ids(4096), slots(1024);
                for (size_t k = 0; k < 1024; ++k) dsb::put_le<uint32_t>(ids, 4 * k, ds.info(vm).data_ids.at(0));
                for (size_t k = 0; k < 256; ++k) dsb::put_le<uint32_t>(slots, 4 * k, pb);
                ds.write_item(pb, 0, ids);
                ds.set_free(pb, false);
                put<uint32_t>(ds, d + layout::fd::kAddrMode, 3);
                ds.write_lv(d + layout::fd::kBlocks, slots);
            }
        }, [&](dsb::DatastoreOptions& o) {
            if (variant == 3) o.block_size = 8 * kMiB;
        });
        ASSERT_EQ(open(), "");
        const auto t0 = std::chrono::steady_clock::now();
        ds::Listing l = ds::list_directory(store, vm);
        EXPECT_LT(seconds_since(t0), 60.0);
        EXPECT_EQ(l.status, ds::ListStatus::ended_early);
        EXPECT_GE(l.entries.size(), 1u);
        ds::TreeWalkResult w = ds::tree_walk(store, ds::kRootDirId, "/", {});
        EXPECT_GE(w.entries, 6);
    }
}

// Descriptors whose block_size claims more than one of their blocks holds:
// the bytes past the end of the block are not on the disk, and reading on
// inside the block would repeat its first bytes as if they were the rest of
// the file. The export fails as a read where the claim begins.
TEST_F(Corrupted, SlotsClaimingMoreThanTheirBlockHoldsFailAsReads) {
    struct Claim {
        const char* what;
        dsb::Storage storage;
        uint64_t size;         // of the file as built, and as the damage leaves it
        uint64_t block_size;   // the descriptor's claim for each slot
        int64_t kept;          // bytes exported before the read that fails
    };
    const uint64_t sub = 65536;   // the builder's sub-block
    const std::vector<Claim> claims = {
        {"sub-blocks claiming two sub-blocks each", dsb::Storage::SubBlocks, 2 * sub, 2 * sub, 0},
        {"sub-blocks claiming a file block each", dsb::Storage::SubBlocks, 3 * sub, kMiB, 0},
        {"file blocks claiming two blocks each", dsb::Storage::FileBlocks, 3 * kMiB, 2 * kMiB, int64_t(kMiB)},
        {"pointer blocks claiming two blocks each", dsb::Storage::PointerBlocks, 3 * kMiB, 2 * kMiB, int64_t(kMiB)},
    };
    for (const Claim& c : claims) {
        SCOPED_TRACE(c.what);
        new_store();
        uint32_t f = 0;
        make(img, [&](dsb::ImageBuilder& ds) {
            f = ds.add_file("/f.bin", dsb::generated_file(c.size, dsb::pattern_content(5), c.storage));
        }, [&](dsb::ImageBuilder& ds) {
            ASSERT_EQ(ds.geometry(SysFile::Sbc).item_size, sub);
            put<int64_t>(ds, ds.item_lv_offset(f) + layout::fd::kBlockSize, static_cast<int64_t>(c.block_size));
        });
        ASSERT_EQ(open(), "");
        const ds::ExportResult r = export_id(f);
        EXPECT_NE(r.failure, ds::ExportFailure::none);
        EXPECT_EQ(r.failure, ds::ExportFailure::read);
        EXPECT_EQ(r.bytes_written, c.kept);
    }
}

TEST_F(Corrupted, HugeBitmapCountsEndTheScansAndItemSizesAreBounded) {
    struct Header {
        const char* what;
        SysFile file;
        uint32_t field;
        int32_t value;
        std::string open;
    };
    const std::vector<Header> headers = {
        {"fdc area count", SysFile::Fdc, 24, 0x7FFFFFFF, ""},
        // The root descriptor's item now lies 2 TiB into .fdc.sf.
        {"fdc entries per area", SysFile::Fdc, 4, 0x7FFFFFFF, "root_dir open error"},
        {"fdc items per entry", SysFile::Fdc, 0, 0x7FFFFFFF, ""},
        {"pbc area count", SysFile::Pbc, 24, 0x7FFFFFFF, ""},
        {"sbc total items", SysFile::Sbc, 20, 0x7FFFFFFF, ""},
        {"fdc item size 0", SysFile::Fdc, 12, 0, "fdc open error"},
        {"fdc item size 2049", SysFile::Fdc, 12, 2049, "fdc open error"},
        {"fdc item size 4096", SysFile::Fdc, 12, 4096, "fdc open error"},
        {"sbc item size 0", SysFile::Sbc, 12, 0, "sbc open error"},
        {"sbc item size 2^31-1", SysFile::Sbc, 12, 0x7FFFFFFF, "sbc open error"},
        {"pbc item size 0", SysFile::Pbc, 12, 0, "pbc open error"},
        {"pbc item size 3", SysFile::Pbc, 12, 3, "pbc open error"},
        // Nothing is read through .fbb.sf: any header that can be read opens.
        {"fbb item size 0", SysFile::Fbb, 12, 0, ""},
        {"fbb item size 8 MiB", SysFile::Fbb, 12, 8 << 20, ""},
        {"fbb item size 2^31-1", SysFile::Fbb, 12, 0x7FFFFFFF, ""},
        {"fbb items per entry 0", SysFile::Fbb, 0, 0, ""},
        {"fbb area size -1", SysFile::Fbb, 16, -1, ""},
    };
    for (const Header& h : headers) {
        SCOPED_TRACE(h.what);
        new_store();
        make(img, [](dsb::ImageBuilder& ds) {
            ds.add_file("/x/gone.txt", dsb::text_file("deleted"));
            ds.remove("/x/gone.txt");
        }, [&](dsb::ImageBuilder& ds) { put<int32_t>(ds, sys_lv(ds, h.file, h.field), h.value); });
        ASSERT_EQ(add(), ds::AddDiskRefusal::none);
        const auto t0 = std::chrono::steady_clock::now();
        Everything e = run_everything(store, sink);
        EXPECT_EQ(e.open, h.open);
        EXPECT_LT(seconds_since(t0), 30.0);
    }
}

TEST_F(Corrupted, HugeCountsInABitmapEntryStayInsideTheEntry) {
    make(img, [](dsb::ImageBuilder& ds) {
        ds.add_file("/x/gone.txt", dsb::text_file("deleted"));
        ds.remove("/x/gone.txt");
    }, [&](dsb::ImageBuilder& ds) {
        const uint64_t e0 = sys_lv(ds, SysFile::Fdc, ds.geometry(SysFile::Fdc).entry_pos(0));
        put<uint32_t>(ds, e0 + layout::entry::kTotal, 0xFFFFFFFF);
        put<uint32_t>(ds, e0 + layout::entry::kFree, 0xFFFFFFFF);
        ds.write_lv(e0 + layout::entry::kBitmap, std::vector<uint8_t>(layout::kBitmapBytes, 0xFF));
    });
    ASSERT_EQ(open(), "");
    std::vector<ds::FileRow> rows;
    EXPECT_EQ(ds::scan_deleted_files(store, [](int) { return true; }, [&](const ds::FileRow& r) { rows.push_back(r); }).end,
              ds::ScanEnd::finished);
    // Every slot of entry 0 now reads as free; only the deleted file names its own slot.
    ASSERT_EQ(rows.size(), 1u);
}

TEST_F(Corrupted, NamesWithoutANulOrValidUtf8AreShownWithReplacementCharacters) {
    uint32_t d = 0;
    ASSERT_TRUE(hostile::open_built(store, img, [&](dsb::ImageBuilder& ds) {
        d = ds.mkdir("/names");
        const uint32_t f = ds.add_file("/names/plain", dsb::text_file("x"));
        ds.add_dirent(d, 3, f, std::string(127, 'a') + "\xC3");   // 128 bytes, no NUL, cut inside a character
        ds.add_dirent(d, 3, f, "bad\xFF\xFE" "end");
        ds.add_dirent(d, 3, f, "\xED\xA0\x80surrogate \xC0\xAFoverlong \xF4\x90\x80\x80too-high");
        ds.add_dirent(d, 3, f, "  \x01 trimmed \x1F ");
        ds.add_dirent(d, 3, f, "ok-é-日本");
    }));
    ds::Listing l = ds::list_directory(store, d);
    ASSERT_EQ(l.status, ds::ListStatus::complete);
    std::vector<std::string> names;
    for (const ds::ListedEntry& e : l.entries) names.push_back(e.name);
    const std::string r = "\xEF\xBF\xBD";
    EXPECT_EQ(names, (std::vector<std::string>{"plain", std::string(127, 'a') + r, "bad" + r + r + "end",
                                               r + r + r + "surrogate " + r + r + "overlong " + r + r + r + r + "too-high",
                                               "trimmed", "ok-é-日本"}));
}

// Ids of every kind in every slot of a descriptor and of a pointer block:
// reads of what is no file block or sub-block fail, nothing is read from
// outside the volume, and the scans and listings end.
TEST_F(Corrupted, BlockIdsOfEveryTypeInEverySlot) {
    std::vector<uint32_t> ids;
    for (uint32_t type = 0; type < 8; ++type)
        for (uint32_t high : {0u, 1u, 5000u, 0x3FFFFFFu}) ids.push_back(high << 6 | type);
    uint32_t file = 0, flat = 0, vm = 0;
    make(img, [&](dsb::ImageBuilder& ds) {
        vm = ds.mkdir("/vm");
        file = ds.add_file("/vm/f.bin", dsb::generated_file(2 * kMiB, dsb::pattern_content(1), dsb::Storage::FileBlocks));
        flat = ds.add_file("/vm/flat.vmdk", dsb::generated_file(2 * kMiB, dsb::pattern_content(2), dsb::Storage::PointerBlocks));
    }, [&](dsb::ImageBuilder& ds) {
        for (uint32_t target : {file, vm}) {
            std::vector<uint8_t> slots(1024);
            for (size_t k = 0; k < 256; ++k) dsb::put_le<uint32_t>(slots, 4 * k, ids[(k + target) % ids.size()]);
            ds.write_lv(ds.item_lv_offset(target) + layout::fd::kBlocks, slots);
            put<int64_t>(ds, ds.item_lv_offset(target) + layout::fd::kSize, int64_t{256} << 20);
        }
        std::vector<uint8_t> pb(4096);
        for (size_t k = 0; k < 1024; ++k) dsb::put_le<uint32_t>(pb, 4 * k, ids[k % ids.size()]);
        ds.write_item(ds.info(flat).pointer_ids.at(0), 0, pb);
    });
    ASSERT_EQ(open(), "");
    for (uint32_t id : {file, flat, vm}) {
        ds::ExportResult r = export_id(id);
        EXPECT_NE(r.failure, ds::ExportFailure::none) << id;
        EXPECT_EQ(r.failure, ds::ExportFailure::read) << id;
    }
    EXPECT_EQ(ds::list_directory(store, vm).status, ds::ListStatus::ended_early);
    for (uint32_t id : ids) {
        ds::Descriptor inode;
        ds::inode_get(store, id, inode);   // any id may name a slot or not, but never crashes
        ds::list_directory(store, id);
    }
    Everything e = run_everything(store, sink);
    EXPECT_EQ(e.deleted, ds::ScanEnd::finished);
    EXPECT_EQ(e.vmdk, ds::ScanEnd::finished);
}

TEST_F(Corrupted, ASubBlockFileReadThroughItsOwnItemFailsInsteadOfRecursingForever) {
    // ".sbc.sf" gets, in the slot that holds one of a file's sub-blocks, that
    // sub-block's own id: reading the item needs the item. The reads must
    // give up, on this thread and on the next one alike.
    uint32_t f = 0, loop = 0;
    make(img, [&](dsb::ImageBuilder& ds) {
        f = ds.add_file("/f.bin", dsb::generated_file(4 * kMiB, dsb::pattern_content(3), dsb::Storage::SubBlocks));
    }, [&](dsb::ImageBuilder& ds) {
        const uint64_t start = sys_lv(ds, SysFile::Sbc, 0);
        for (uint32_t id : ds.info(f).data_ids) {
            const uint64_t slot = (ds.item_lv_offset(id) - start) / ds.block_size();
            if (slot == 0) continue;   // the first block holds the header the opening reads
            loop = id;
            put<uint32_t>(ds, ds.item_lv_offset(ds.system_file(SysFile::Sbc)) + layout::fd::kBlocks + 4 * slot, id);
            break;
        }
    });
    ASSERT_NE(loop, 0u) << "every sub-block of the file lies in the first block of .sbc.sf";
    ASSERT_EQ(open(), "");
    for (int pass = 0; pass < 2; ++pass) {
        const ds::ExportResult r = export_id(f);
        EXPECT_NE(r.failure, ds::ExportFailure::none);
        EXPECT_EQ(r.failure, ds::ExportFailure::read);
    }
    ds::ExportResult other;
    std::thread([&] { other = export_id(f); }).join();
    EXPECT_EQ(other.failure, ds::ExportFailure::read);
}

} // namespace
