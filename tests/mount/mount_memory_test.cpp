// The mount keeps every entry it has listed for as long as it runs, so what
// one entry costs decides whether a datastore of a million files fits in a
// small machine's memory.
#include "mount_support.h"

#include "mount/mount_fs.h"
#include "mount/mount_source.h"
#include "support/open_images.h"
#include "vmfs/datastore.h"

#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <thread>

namespace {

// Resident bytes of this process, which serves the mount on its threads.
size_t resident_bytes() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::stoull(line.substr(6)) * 1024;
    return 0;
}

TEST(MountMemory, AListedFileCostsTheMountFewerThan250Bytes) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the address sanitizer holds freed memory in quarantine: resident bytes measure it, not the mount";
#endif
    const std::string why = mounttest::fuse_missing();
    if (!why.empty()) GTEST_SKIP() << "no FUSE mount possible: " << why;
    dstest::TempDir dir;
    dsb::DatastoreOptions o;
    o.path = dir.file("files.img");
    o.block_size = 8 * dsb::layout::kMiB;
    o.fdc = {256, 64, 65536, 2048, 8};   // 131,072 descriptor slots
    o.sbc.area_count = 4;                // a sub-block for each folder
    o.segments = 3;
    constexpr int kFolders = 400, kPerFolder = 300;
    {
        dsb::ImageBuilder ds(o);
        for (int f = 0; f < kFolders; ++f) {
            const uint32_t folder = ds.mkdir("/d" + std::to_string(f));
            for (int k = 0; k < kPerFolder; ++k)
                ds.add_bulk_file(folder, "f" + std::to_string(f * kPerFolder + k) + ".dat", dsb::text_file("x"));
        }
        ds.finish();
    }
    ds::Datastore store;
    dsb::ImageSummary s;
    s.images = {o.path};
    ASSERT_EQ(dstest::open_images(store, s).message, "");
    dsmount::MountSource source(store);
    dsmount::MountRoot root;
    root.directory = source.root();
    const std::string mnt = dir.file("mnt");
    std::filesystem::create_directories(mnt);
    dsmount::MountServer server(source, std::move(root));
    ASSERT_EQ(server.mount(mnt), "");
    std::thread serving([&] { server.serve(false); });

    // Each folder listed and every file in it looked up, as find does.
    int64_t seen = 0;
    auto walk = [&](int from, int to) {
        for (int f = from; f < to; ++f)
            for (const auto& e : std::filesystem::directory_iterator(mnt + "/d" + std::to_string(f))) {
                struct stat st {};
                if (::stat(e.path().c_str(), &st) == 0 && S_ISREG(st.st_mode)) ++seen;
            }
    };
    // The first half fills what is held once (the reader's chunk cache, the
    // root's listing); the second shows what each entry adds.
    walk(0, kFolders / 2);
    const size_t before = resident_bytes();
    const int64_t seen_before = seen;
    walk(kFolders / 2, kFolders);
    const size_t after = resident_bytes();
    mounttest::shell("fusermount3 -u " + mounttest::shell_quote(mnt));
    serving.join();

    ASSERT_EQ(seen, int64_t{kFolders} * kPerFolder);
    // A node, its place in the table of nodes by descriptor and its host
    // name: about 200 bytes; keeping a directory's listing vectors in every
    // file's node and a tree node per entry made it over 300.
    const double per_entry = (static_cast<double>(after) - static_cast<double>(before)) / static_cast<double>(seen - seen_before);
    EXPECT_LT(per_entry, 250) << "bytes held per listed file";
}

} // namespace
