// Datastores are objects: two open side by side keep to their own disks, and
// one read from several threads at once still gives the builder's bytes.

#include "vmfs/store.h"
#include "support/open_images.h"
#include "support/test_support.h"
#include "export/file_export.h"
#include "vmfs/file_read.h"
#include "vmfs/inode.h"

#include <atomic>
#include <optional>
#include <thread>

namespace {

using namespace ds;

std::vector<uint32_t> demo_files(const dsb::DemoSummary& d) {
    return {d.inline_file, d.subblock_file, d.fileblock_file, d.pointer_file, d.utf8_file};
}

const dsb::ObjectExpect& object_of(const dsb::ImageSummary& s, uint32_t id) {
    for (const auto& o : s.objects)
        if (o.id == id) return o;
    throw std::runtime_error("no such object");
}

// n bytes at p: a small file's from its descriptor, others through the reader.
int64_t read_piece(Datastore& store, const Descriptor& inode, uint8_t* out, int64_t n, int64_t p) {
    if (inode.size > kInlineLimit) return file_read(store, inode, out, n, p);
    uint8_t held[1024];
    inode_inline_bytes(inode, held);
    std::copy_n(held + p, n, out);
    return n;
}

// The parts of a file the tests compare: all of a small one; the start and
// the end of the demo's 300 MiB disk, which is zeros in between.
struct Range {
    int64_t from, to;
};
std::vector<Range> checked_ranges(int64_t size) {
    constexpr int64_t kWhole = 8 << 20;
    if (size <= kWhole) return {{0, size}};
    return {{0, 3 << 20}, {size - (2 << 20), size}};
}

// The checked parts of a file read piece by piece, one after the other;
// empty on a failed read.
std::vector<uint8_t> read_in_pieces(Datastore& store, uint32_t id, int64_t piece) {
    Descriptor inode;
    if (inode_get(store, id, inode) != 0) return {};
    std::vector<uint8_t> out;
    for (Range r : checked_ranges(inode.size))
        for (int64_t p = r.from; p < r.to; p += piece) {
            const int64_t want = std::min(piece, r.to - p);
            const size_t at = out.size();
            out.resize(at + static_cast<size_t>(want));
            if (read_piece(store, inode, out.data() + at, want, p) != want) return {};
        }
    return out;
}

// What read_in_pieces must give.
std::vector<uint8_t> expected_parts(const dsb::ObjectExpect& o) {
    std::vector<uint8_t> out;
    for (Range r : checked_ranges(static_cast<int64_t>(o.size))) {
        const std::vector<uint8_t> part = dsb::materialize(o.content, r.from, r.to - r.from);
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

TEST(Datastores, TwoOpenAtOnceEachReadsItsOwnDisks) {
    // Different block sizes put the same files at different places, so a read
    // that reached the other datastore's disk or cache gives other bytes.
    dstest::TempDir dir_a, dir_b;
    const dsb::DemoSummary a = dsb::build_demo(dir_a.path().string(), 1048576);
    const dsb::DemoSummary b = dsb::build_demo(dir_b.path().string(), 4 * 1048576);
    std::optional<Datastore> held_a(std::in_place);
    Datastore& store_a = *held_a;
    Datastore store_b;
    ASSERT_EQ(dstest::open_images(store_a, a).message, "");
    ASSERT_EQ(dstest::open_images(store_b, b).message, "");

    // Interleaved piece by piece, so each read follows one of the other.
    const int64_t piece = 96 * 1024 + 13;
    for (size_t k = 0; k < demo_files(a).size(); ++k) {
        const uint32_t ida = demo_files(a)[k], idb = demo_files(b)[k];
        Descriptor ia, ib;
        ASSERT_EQ(inode_get(store_a, ida, ia), 0);
        ASSERT_EQ(inode_get(store_b, idb, ib), 0);
        ASSERT_EQ(ia.size, ib.size);
        std::vector<uint8_t> got_a, got_b;
        for (Range r : checked_ranges(ia.size))
            for (int64_t p = r.from; p < r.to; p += piece) {
                const int64_t n = std::min(piece, r.to - p);
                const size_t at = got_a.size();
                got_a.resize(at + static_cast<size_t>(n));
                got_b.resize(at + static_cast<size_t>(n));
                ASSERT_EQ(read_piece(store_a, ia, got_a.data() + at, n, p), n);
                ASSERT_EQ(read_piece(store_b, ib, got_b.data() + at, n, p), n);
            }
        SCOPED_TRACE(object_of(a, ida).path);
        EXPECT_TRUE(got_a == expected_parts(object_of(a, ida)));
        EXPECT_TRUE(got_b == expected_parts(object_of(b, idb)));
    }
    // Dropping one leaves the other readable.
    held_a.reset();
    EXPECT_TRUE(read_in_pieces(store_b, b.pointer_file, 1 << 20) == expected_parts(object_of(b, b.pointer_file)));
}

TEST(Datastores, EightThreadsReadingOneDatastoreGetEveryByteRight) {
    dstest::TempDir dir;
    const dsb::DemoSummary demo = dsb::build_demo(dir.path().string(), 1048576);
    Datastore store;
    ASSERT_EQ(dstest::open_images(store, demo).message, "");
    const std::vector<uint32_t> files = demo_files(demo);
    std::vector<std::vector<uint8_t>> expected;
    for (uint32_t id : files) expected.push_back(expected_parts(object_of(demo, id)));

    // Each thread reads every file several times with a piece size of its
    // own (small ones go through the shared cache and memos, large ones past
    // it), and exports the files below 8 MiB, so the readers keep crossing
    // each other.
    std::atomic<int> wrong{0}, failed_exports{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            const int64_t piece = t % 2 ? 4096 + 509 * t : 300 * 1024 + 7 * t;
            for (int round = 0; round < 3; ++round)
                for (size_t k = 0; k < files.size(); ++k)
                    if (read_in_pieces(store, files[(k + t) % files.size()], piece) != expected[(k + t) % files.size()])
                        ++wrong;
            for (size_t k = 0; k < files.size(); ++k) {
                if (files[k] == demo.pointer_file) continue;
                Descriptor inode;
                const std::string out = dir.file("t" + std::to_string(t) + "-" + std::to_string(k));
                if (inode_get(store, files[k], inode) != 0 || file_export(store, ds::file_of(inode), out, {}).failure != ds::ExportFailure::none ||
                    dstest::read_file(out) != expected[k])
                    ++failed_exports;
            }
        });
    }
    for (std::thread& th : threads) th.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(failed_exports.load(), 0);
}

} // namespace
