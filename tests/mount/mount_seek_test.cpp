// The mount's hole search and block counts on block lists a hostile disk
// forges: every answer comes at once from the slots, whatever size the
// descriptor claims, and nothing a read cannot give is ever called a hole.
#include "mount_support.h"

#include "builder/block_id.h"
#include "disk/sector_source.h"
#include "mount/mount_source.h"
#include "support/open_images.h"
#include "vmfs/datastore.h"
#include "vmfs/file_read.h"
#include "vmfs/inode.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <limits>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
constexpr int64_t kTiB = int64_t{1} << 40;
constexpr int64_t kNullSlot = int64_t{1} << 52;
constexpr uint64_t kMiB = dsb::layout::kMiB;

// The datastore every test here reads, built once: a thin file whose block
// list has a null pointer block in the middle, a copy of it whose middle
// pointer block cannot be read, and descriptors a hostile disk forges.
struct Image {
    std::string path;
    uint64_t per = 0;   // ids a pointer block holds
    int64_t lv_bytes = 0;
};

const Image& image() {
    static const dstest::TempDir dir;
    static const Image built = [] {
        Image im;
        im.path = dir.file("seek.img");
        dsb::DatastoreOptions o;
        o.path = im.path;
        dsb::ImageBuilder ds(o);
        im.per = ds.geometry(dsb::SysFile::Pbc).item_size / 4;
        const uint64_t per = im.per;
        // Stored blocks 0, 3 and 2 * per + 1; every id of the second pointer
        // block is null, so that pointer block is null itself.
        const std::vector<std::pair<uint64_t, std::vector<uint8_t>>> marks = {
            {0, {'a'}}, {3 * kMiB, {'b'}}, {(2 * per + 1) * kMiB, {'c'}}};
        dsb::FileSpec thin =
            dsb::generated_file((2 * per + 2) * kMiB, dsb::overlay_content(dsb::zero_content(), marks),
                                dsb::Storage::PointerBlocks);
        thin.thin = true;
        const uint32_t thin_id = ds.add_file("/thin.bin", thin);
        const uint32_t broken = ds.add_file("/thin-broken.bin", dsb::text_file("forged below\n"));
        const uint32_t mode7 = ds.add_file("/mode7.bin", dsb::text_file("forged below\n"));
        const uint32_t null_pointers = ds.add_file("/null-pointers.bin", dsb::text_file("forged below\n"));
        const uint32_t null_direct = ds.add_file("/null-direct.bin", dsb::text_file("forged below\n"));
        const uint32_t counted = ds.add_file("/counted.bin", dsb::generated_file(3 * kMiB, dsb::pattern_content(4),
                                                                                   dsb::Storage::FileBlocks));
        ds.finish();
        if (ds.info(thin_id).pointer_ids.at(1) != 0) throw std::logic_error("the builder stored a zero pointer block");

        auto forge = [&](uint32_t id, uint32_t mode, int64_t size, int64_t block_size, int64_t count) {
            dsb::DescriptorFields f;
            f.id = id;
            f.size = size;
            f.block_size = block_size;
            f.block_count = count;
            f.addr_mode = mode;
            return f;
        };
        dsb::DescriptorFields f = forge(broken, dsb::layout::kAddrPointerBlocks,
                                        static_cast<int64_t>((2 * per + 2) * kMiB), kMiB, 3);
        const std::vector<uint32_t>& pointers = ds.info(thin_id).pointer_ids;
        for (size_t k = 0; k < pointers.size(); ++k) f.blocks[k] = pointers[k];
        f.blocks[1] = dsb::pb_build(0x3FFFFF, 15);   // far past the pointer blocks' file
        ds.write_descriptor(broken, f);
        // Slots of one byte that no addressing mode reaches.
        ds.write_descriptor(mode7, forge(mode7, 7, kTiB, 1, 1));
        // 2^52-byte null slots up to the largest size there is.
        ds.write_descriptor(null_pointers, forge(null_pointers, dsb::layout::kAddrPointerBlocks, kMax, kNullSlot, 0));
        ds.write_descriptor(null_direct, forge(null_direct, dsb::layout::kAddrFileBlocks, kMax, kNullSlot, 0));
        // Three real blocks in slots that claim 2^62 bytes each.
        dsb::DescriptorFields c = forge(counted, dsb::layout::kAddrFileBlocks, kMax, int64_t{1} << 62, 3);
        for (size_t k = 0; k < 3; ++k) c.blocks[k] = ds.info(counted).data_ids.at(k);
        ds.write_descriptor(counted, c);
        return im;
    }();
    return built;
}

// The answer of fn, given in a child process that is killed when it has not
// answered within the time: a search that runs away is a failure here, not
// a test that never ends.
::testing::AssertionResult answers_in_time(const std::function<int64_t()>& fn, int64_t& out, int seconds = 5) {
    int fds[2];
    if (::pipe(fds) != 0) return ::testing::AssertionFailure() << "pipe failed";
    const pid_t child = ::fork();
    if (child == 0) {
        const int64_t v = fn();
        const bool ok = ::write(fds[1], &v, sizeof v) == static_cast<ssize_t>(sizeof v);
        ::_exit(ok ? 0 : 1);
    }
    ::close(fds[1]);
    pollfd p{fds[0], POLLIN, 0};
    const int ready = ::poll(&p, 1, seconds * 1000);
    ssize_t got = 0;
    if (ready == 1) got = ::read(fds[0], &out, sizeof out);
    ::close(fds[0]);
    if (got != static_cast<ssize_t>(sizeof out)) ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    if (ready != 1) return ::testing::AssertionFailure() << "no answer within " << seconds << " s";
    if (got != static_cast<ssize_t>(sizeof out))
        return ::testing::AssertionFailure() << "the search ended without an answer (status " << status << ")";
    return ::testing::AssertionSuccess();
}

class MountSeek : public ::testing::Test {
protected:
    std::unique_ptr<ds::SectorSource> disk = ds::make_posix_source();
    ds::Datastore store{*disk};
    std::unique_ptr<dsmount::MountSource> source;
    dsb::ImageSummary summary;

    void SetUp() override {
        summary.images = {image().path};
        summary.start_sectors = {2048};
        ASSERT_EQ(dstest::open_images(store, summary).message, "");
        source = std::make_unique<dsmount::MountSource>(store);
    }

    dsmount::SourceRef ref(const std::string& name) {
        bool complete = false;
        dsmount::SourceRef found;
        source->list(source->root(), [&](dsmount::SourceEntry&& e) {
            if (e.raw_name == name) found = e.ref;
            return true;
        }, complete);
        EXPECT_NE(found.id, 0u) << name;
        return found;
    }

    dsmount::SourceFilePtr open(const std::string& name) {
        dsmount::SourceFilePtr f;
        EXPECT_EQ(source->open(ref(name), f), dsmount::SourceError::none) << name;
        return f;
    }

    // Where a search of a file's 1 MiB blocks one at a time lands, for files
    // small enough to walk so: what the lookup cannot tell is data.
    int64_t walked(const std::string& name, int64_t off, bool data) {
        ds::Descriptor inode;
        EXPECT_EQ(ds::inode_get(store, ref(name).id, inode), 0);
        const int64_t bs = static_cast<int64_t>(kMiB);
        for (int64_t p = off; p < inode.size; p = (p / bs + 1) * bs) {
            uint32_t id = 0;
            const bool hole = ds::file_block_lookup(store, inode, p, &id) == 0 && id == 0;
            if (hole != data) return p;
        }
        return data ? -1 : inode.size;
    }
};

TEST_F(MountSeek, HostileSizesAreAnsweredAtOnceAndNothingUnreadableIsAHole) {
    struct Case {
        std::string name;
        int64_t off;
        bool data;
        int64_t want;
    };
    const int64_t past_slots = 256 * kNullSlot;   // the first byte no slot of /null-direct.bin names
    const std::vector<Case> cases = {
        // No slot is addressable: the whole file reads as an error, so it
        // is data to a search, and its one hole is the end.
        {"mode7.bin", 0, false, kTiB},
        {"mode7.bin", 0, true, 0},
        {"mode7.bin", kTiB - 1, true, kTiB - 1},
        {"mode7.bin", kTiB, true, -1},
        // Null pointer blocks all the way: holes wherever there are slots,
        // which reach past the largest size, so no data anywhere.
        {"null-pointers.bin", 0, true, -1},
        {"null-pointers.bin", 0, false, 0},
        {"null-pointers.bin", kMax - 1, true, -1},
        {"null-pointers.bin", kMax - 1, false, kMax - 1},
        {"null-pointers.bin", kMax, true, -1},
        // Null direct slots end at 2^60: past them a read fails.
        {"null-direct.bin", 0, true, past_slots},
        {"null-direct.bin", 0, false, 0},
        {"null-direct.bin", past_slots - 1, false, past_slots - 1},
        {"null-direct.bin", past_slots, false, kMax},
        {"null-direct.bin", kMax - 1, true, kMax - 1},
        // Data slots of 2^62 bytes: the third would start past the largest size.
        {"counted.bin", (int64_t{1} << 62) + 5, true, (int64_t{1} << 62) + 5},
        {"counted.bin", 0, false, kMax},
    };
    for (const Case& c : cases) {
        const dsmount::SourceFilePtr f = open(c.name);
        ASSERT_TRUE(f);
        int64_t got = -2;
        ASSERT_TRUE(answers_in_time([&] { return source->seek(*f, c.off, c.data); }, got))
            << c.name << (c.data ? " data from " : " hole from ") << c.off;
        EXPECT_EQ(got, c.want) << c.name << (c.data ? " data from " : " hole from ") << c.off;
    }

    // A hole a search gives reads as zeros; data it gives past the slots
    // fails to read rather than reading as zeros.
    const dsmount::SourceFilePtr direct = open("null-direct.bin");
    uint8_t byte = 1;
    EXPECT_EQ(source->read(*direct, &byte, 1, past_slots - 1), 1);
    EXPECT_EQ(byte, 0);
    EXPECT_EQ(source->read(*direct, &byte, 1, past_slots), -1);
    EXPECT_EQ(source->read(*open("mode7.bin"), &byte, 1, 0), -1);
}

TEST_F(MountSeek, APointerBlockListIsWalkedByItsIdsAndAnUnreadablePointerBlockIsData) {
    const int64_t bs = static_cast<int64_t>(kMiB), per = static_cast<int64_t>(image().per);
    const dsmount::SourceFilePtr thin = open("thin.bin");
    const int64_t size = dsmount::MountSource::size(*thin);
    ASSERT_EQ(size, (2 * per + 2) * bs);
    // From the start and inside of every block, as a walk of every block finds.
    for (const std::string name : {"thin.bin", "thin-broken.bin"}) {
        const dsmount::SourceFilePtr f = open(name);
        for (int64_t b = 0; b < 2 * per + 2; ++b)
            for (int64_t off : {b * bs, b * bs + 12345})
                for (bool data : {true, false})
                    ASSERT_EQ(source->seek(*f, off, data), walked(name, off, data)) << name << " " << off << " " << data;
    }
    EXPECT_EQ(source->seek(*thin, bs, true), 3 * bs);
    EXPECT_EQ(source->seek(*thin, 4 * bs, true), (2 * per + 1) * bs);   // over the null pointer block
    EXPECT_EQ(source->seek(*thin, (2 * per + 1) * bs, false), size);
    EXPECT_EQ(source->seek(*thin, size, false), -1);

    // The middle pointer block cannot be read: its ids are data, whose read
    // fails, never a hole.
    const dsmount::SourceFilePtr broken = open("thin-broken.bin");
    EXPECT_EQ(source->seek(*broken, 4 * bs, true), per * bs);
    EXPECT_EQ(source->seek(*broken, per * bs + 7, false), 2 * per * bs);
    uint8_t byte = 0;
    EXPECT_EQ(source->read(*broken, &byte, 1, per * bs), -1);
    EXPECT_EQ(source->read(*broken, &byte, 1, 2 * per * bs), 1);
}

TEST_F(MountSeek, TheBlockCountIsBoundedByWhatTheSlotsHoldAndTheVolume) {
    auto allocated = [&](const std::string& name) {
        dsmount::SourceAttr a;
        EXPECT_EQ(source->stat(ref(name), a), dsmount::SourceError::none) << name;
        return a.allocated;
    };
    // Two slots of 2^62 bytes cover the size; each holds one real block.
    EXPECT_EQ(allocated("counted.bin"), 2 * static_cast<int64_t>(kMiB));
    EXPECT_EQ(allocated("mode7.bin"), 0);
    EXPECT_EQ(allocated("null-pointers.bin"), 0);
    // A real thin file: its own count, one block per stored block.
    EXPECT_EQ(allocated("thin.bin"), 3 * static_cast<int64_t>(kMiB));
}

// Through the kernel: lseek and a plain copy answer at once, and du's
// figure is no overflow.
TEST_F(MountSeek, TheMountedHostileFilesAnswerAtOnce) {
    const std::string why = mounttest::fuse_missing();
    if (!why.empty()) GTEST_SKIP() << "no FUSE mount possible: " << why;
    dstest::TempDir dir;
    const std::string mnt = dir.file("mnt");
    mounttest::Mounted m({image().path}, mnt);
    ASSERT_TRUE(m.ok()) << m.run().err;
    const int64_t past_slots = 256 * kNullSlot;
    struct Case {
        std::string name;
        int whence;
        int64_t off, want;
    };
    for (const Case& c : std::vector<Case>{{"mode7.bin", SEEK_HOLE, 0, kTiB},
                                           {"mode7.bin", SEEK_DATA, 0, 0},
                                           {"null-pointers.bin", SEEK_DATA, 0, -1},
                                           {"null-pointers.bin", SEEK_HOLE, kMax - 1, kMax - 1},
                                           {"null-direct.bin", SEEK_DATA, 0, past_slots}}) {
        const int fd = ::open((mnt + "/" + c.name).c_str(), O_RDONLY);
        ASSERT_GE(fd, 0) << c.name;
        errno = 0;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(::lseek(fd, c.off, c.whence), c.want) << c.name << " from " << c.off;
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1)) << c.name;
        if (c.want < 0) {
            EXPECT_EQ(errno, ENXIO);
        }
        ::close(fd);
    }
    struct stat st {};
    ASSERT_EQ(::stat((mnt + "/counted.bin").c_str(), &st), 0);
    EXPECT_EQ(st.st_blocks, static_cast<blkcnt_t>(2 * kMiB / 512));
    ASSERT_EQ(::stat((mnt + "/mode7.bin").c_str(), &st), 0);
    EXPECT_EQ(st.st_blocks, 0);
    // The copy meets the read error at once instead of a terabyte of zeros.
    std::string said;
    EXPECT_NE(mounttest::shell("cp " + mounttest::shell_quote(mnt + "/mode7.bin") + " " +
                                   mounttest::shell_quote(dir.file("copy")),
                               &said),
              0);
    EXPECT_NE(said.find("Input/output error"), std::string::npos) << said;
    EXPECT_TRUE(m.unmount());
}

} // namespace
