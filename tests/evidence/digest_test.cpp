// The export's digest: the same bytes as the host file, whichever way the
// chunks arrive, including a copy that stopped part way.

#include "vmfs/store.h"
#include "evidence_support.h"

#include "disk/sector_source.h"
#include "support/open_images.h"
#include "export/chunk_digest.h"
#include "export/file_export.h"
#include "vmfs/inode.h"

#include <gtest/gtest.h>
#include <cerrno>
#include <cstdio>
#include <malloc.h>
#include <numeric>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace evtest {
namespace {

TEST(ChunkDigest, KnownValuesAndEveryChunkingAgree) {
    EXPECT_EQ(ds::sha256_hex(nullptr, 0), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    const std::string abc = "abc";
    EXPECT_EQ(ds::sha256_hex(reinterpret_cast<const uint8_t*>(abc.data()), 3),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");

    // 5 MiB + 7 of a pattern, handed over as an export does: read into the
    // buffers the digest lends, a few given back empty on the way (a failed
    // read), or handed in from the caller's memory.
    std::vector<uint8_t> data((5 << 20) + 7);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 131 + (i >> 12));
    const std::string want = sha256_of(data);
    for (size_t chunk : {size_t{1} << 20, size_t{65535}, size_t{100}, size_t{3000001}}) {
        SCOPED_TRACE(chunk);
        for (bool background : {true, false}) {
            ds::ChunkDigest d(background, static_cast<int64_t>(chunk), 3);
            int k = 0;
            for (size_t pos = 0; pos < data.size(); pos += chunk, ++k) {
                size_t n = std::min(chunk, data.size() - pos);
                if (k % 5 == 1) {   // lent and given back unused
                    d.buffer();
                    d.submit(0);
                }
                if (k % 7 == 3) {
                    d.add(data.data() + pos, static_cast<int64_t>(n));
                    continue;
                }
                uint8_t* buf = d.buffer();
                std::copy_n(data.begin() + static_cast<long>(pos), n, buf);
                d.submit(static_cast<int64_t>(n));
            }
            EXPECT_EQ(d.finish(), want);
        }
    }
}

// A host that cannot start one more thread still gets the digest, hashed in
// the caller's thread: here the address space left is too small for a
// thread's stack. Run in a child, since the limit is for the whole process
// (alone, as ctest runs it: a stack kept from an earlier test's thread would
// let the thread start after all).
TEST(ChunkDigest, HashesInTheCallersThreadWhenNoThreadCanStart) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer's own allocator needs more address space than the limit leaves";
#endif
    std::vector<uint8_t> data(3 << 20);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + (i >> 16));
    const std::string want = sha256_of(data);
    // 0 when the digest came out right.
    auto limited = [&]() -> int {
        ds::ChunkDigest d(true, 1 << 20, 2);
        // The one buffer it needs is allocated by now: with no thread every
        // chunk is hashed before the next is lent.
        uint8_t* buf = d.buffer();
        long pages = 0;
        FILE* statm = std::fopen("/proc/self/statm", "r");
        if (!statm || std::fscanf(statm, "%ld", &pages) != 1) return 3;
        std::fclose(statm);
        const rlim_t room = static_cast<rlim_t>(pages) * static_cast<rlim_t>(::sysconf(_SC_PAGESIZE)) + (1 << 20);
        const rlimit limit{room, room};
        if (::setrlimit(RLIMIT_AS, &limit) != 0) return 4;
        for (size_t pos = 0; pos < data.size(); pos += 1 << 20) {
            std::copy_n(data.begin() + static_cast<long>(pos), 1 << 20, buf);
            d.submit(1 << 20);
            buf = d.buffer();
        }
        d.submit(0);
        return d.finish() == want ? 0 : 1;
    };
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        int result = 2;   // an exception
        try {
            result = limited();
        } catch (...) {
        }
        ::_exit(result);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status)) << "ended by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 0);
}

class ExportDigest : public dstest::WithDatastore {};

TEST_F(ExportDigest, EqualsTheHostFileInEveryAddressingModeAndThroughHoles) {
    const dsb::DemoSummary& d = clitest::demo();
    ASSERT_TRUE(dstest::open_images(store, d).message.empty());
    dstest::TempDir out;
    for (uint32_t id : {d.inline_file, d.subblock_file, d.fileblock_file, d.pointer_file, d.snapshot_dir}) {
        SCOPED_TRACE(id);
        ds::Descriptor inode;
        ASSERT_EQ(ds::inode_get(store, id, inode), 0);
        ds::ExportOptions eo;
        eo.sha256 = true;
        ds::ExportResult r = ds::file_export(store, ds::file_of(inode), out.file("x"), {}, eo);
        ASSERT_EQ(r.failure, ds::ExportFailure::none);
        EXPECT_EQ(r.sha256, sha256_of_file(out.file("x")));
        const dsb::ObjectExpect& o = *std::find_if(d.objects.begin(), d.objects.end(),
                                                   [&](const dsb::ObjectExpect& e) { return e.id == id; });
        EXPECT_EQ(r.sha256, sha256_of_content(o.content, o.size));
    }
    // Without the option nothing is computed.
    ds::Descriptor inode;
    ASSERT_EQ(ds::inode_get(store, d.inline_file, inode), 0);
    EXPECT_EQ(ds::file_export(store, ds::file_of(inode), out.file("y")).sha256, "");
}

// A copy of many small files lends its digest buffers once per file: they
// must be of the file's size, allocated as needed, and untouched past what
// is read into them. Buffers of the largest run (16 MiB of them, filled as
// allocated) made a copy of 20,000 small files take minutes. Counted in the
// pages the copy brings in once the allocator has given back what it held.
TEST_F(ExportDigest, ASmallFileIsCopiedWithBuffersOfItsOwnSize) {
    const dsb::DemoSummary& d = clitest::demo();
    ASSERT_TRUE(dstest::open_images(store, d).message.empty());
    dstest::TempDir out;
    auto page_faults = [] {
        rusage u {};
        ::getrusage(RUSAGE_SELF, &u);
        return u.ru_minflt;
    };
    long faults = 0;
    constexpr int kCopies = 10;
    for (int k = 0; k < kCopies; ++k) {
        // The inline file and one of 100,000 bytes, hashed on a thread.
        const uint32_t id = k % 2 ? d.inline_file : d.subblock_file;
        ds::Descriptor inode;
        ASSERT_EQ(ds::inode_get(store, id, inode), 0);
        ds::ExportOptions eo;
        eo.sha256 = true;
        ::malloc_trim(0);
        const long before = page_faults();
        const ds::ExportResult r = ds::file_export(store, ds::file_of(inode), out.file("f" + std::to_string(k)), {}, eo);
        faults += page_faults() - before;
        ASSERT_EQ(r.failure, ds::ExportFailure::none);
        EXPECT_EQ(r.sha256, sha256_of_file(out.file("f" + std::to_string(k))));
    }
    // A megabyte a file at most (256 pages of 4 KiB), the digest thread's
    // stack included.
    EXPECT_LT(faults, kCopies * 256);
}

// Reads fail wherever they touch [from, to) of any device.
class FailingSource final : public ds::SectorSource {
public:
    int64_t from = -1, to = -1;
    bool read(const std::string& dev, int64_t off, int64_t len, uint8_t* buf) override {
        if (off < to && off + len > from) {
            errno = EIO;   // as a failing sector does
            return false;
        }
        return posix->read(dev, off, len, buf);
    }
    int64_t size(const std::string& dev) override { return posix->size(dev); }
    void close_all() override { posix->close_all(); }
    std::unique_ptr<ds::SectorSource> posix = ds::make_posix_source();
};

TEST_F(ExportDigest, APartialCopyReportsTheDigestOfWhatItKept) {
    const dsb::DemoSummary& d = clitest::demo();
    const dsb::ObjectExpect& log = clitest::object(d, "/vm1/vm1.log");   // 3 MiB + 5 in file blocks
    FailingSource failing;
    new_store(failing);
    ASSERT_TRUE(dstest::open_images(store, d).message.empty());
    // The third megabyte's block cannot be read (the volume's data area
    // begins 17 MiB into the partition).
    failing.from = d.start_sector * 512 + (17 << 20) + int64_t(log.data_ids.at(2) >> 6) * int64_t(d.block_size);
    failing.to = failing.from + 1;
    dstest::TempDir out;
    ds::Descriptor inode;
    ASSERT_EQ(ds::inode_get(store, log.id, inode), 0);
    ds::ExportOptions eo;
    eo.sha256 = true;
    ds::ExportResult r = ds::file_export(store, ds::file_of(inode), out.file("log"), {}, eo);
    new_store();
    EXPECT_EQ(r.failure, ds::ExportFailure::read);
    EXPECT_EQ(r.read_failure, (ds::Failure{ds::Fault::device_read, EIO}));
    ASSERT_EQ(r.bytes_written, 2 << 20);
    EXPECT_EQ(r.sha256, sha256_of_file(out.file("log")));
    EXPECT_EQ(r.sha256, sha256_of_content(log.content, 2 << 20));
}

} // namespace
} // namespace evtest
