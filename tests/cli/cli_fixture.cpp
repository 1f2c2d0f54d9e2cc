#include "cli_fixture.h"

#include <algorithm>
#include <fstream>
#include <stdexcept>
#include <vector>

namespace clitest {

const dstest::TempDir& image_dir() {
    static dstest::TempDir dir;
    return dir;
}

const dsb::DemoSummary& demo() {
    static const dsb::DemoSummary s = dsb::build_demo(image_dir().path().string());
    return s;
}

const dsb::FormattedSummary& formatted() {
    static const dsb::FormattedSummary s = dsb::build_formatted(image_dir().path().string());
    return s;
}

const dsb::MultiSummary& multi() {
    static const dsb::MultiSummary s = dsb::build_multi(image_dir().path().string());
    return s;
}

const std::string& time_table_image() {
    static const std::string image = [] {
        std::string path = image_dir().file("times.img");
        dstest::build_time_table(path);
        return path;
    }();
    return image;
}

const dsb::ObjectExpect& object(const dsb::ImageSummary& s, const std::string& path) {
    for (const dsb::ObjectExpect& o : s.objects)
        if (o.path == path) return o;
    throw std::out_of_range("no object " + path);
}

std::string compare_file(const std::string& host_path, const dsb::ContentFn& content, uint64_t size) {
    std::ifstream in(host_path, std::ios::binary);
    if (!in) return "cannot open " + host_path;
    std::vector<uint8_t> got(1 << 20), want(1 << 20);
    uint64_t pos = 0;
    while (pos < size) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(got.size(), size - pos));
        in.read(reinterpret_cast<char*>(got.data()), static_cast<std::streamsize>(n));
        if (static_cast<size_t>(in.gcount()) != n) return "file ends at " + std::to_string(pos + in.gcount());
        if (content)
            content(pos, std::span<uint8_t>(want.data(), n));
        else
            std::fill_n(want.begin(), n, 0);
        auto mis = std::mismatch(got.begin(), got.begin() + static_cast<long>(n), want.begin());
        if (mis.first != got.begin() + static_cast<long>(n))
            return "differs at byte " + std::to_string(pos + static_cast<uint64_t>(mis.first - got.begin()));
        pos += n;
    }
    if (in.peek() != std::char_traits<char>::eof()) return "file is longer than " + std::to_string(size);
    return "";
}

void make_datastore(const std::string& path, const BuildFn& build, const BuildFn& damage,
                    const std::function<void(dsb::DatastoreOptions&)>& tune) {
    dsb::DatastoreOptions o;
    o.path = path;
    if (tune) tune(o);
    dsb::ImageBuilder ds(o);
    build(ds);
    ds.finish();
    if (damage) damage(ds);
}

void point_block_past_the_volume(dsb::ImageBuilder& ds, uint32_t id, size_t slot, uint64_t block_count) {
    const dsb::ObjectInfo& o = ds.info(id);
    dsb::DescriptorFields f;
    f.id = id;
    f.size = static_cast<int64_t>(o.size);
    f.block_size = static_cast<int64_t>(dsb::layout::kMiB);
    f.block_count = static_cast<int64_t>(block_count);
    f.addr_mode = dsb::layout::kAddrFileBlocks;
    for (size_t i = 0; i < o.data_ids.size(); ++i) f.blocks[i] = o.data_ids[i];
    f.blocks[slot] = dsb::fb_build(60000);
    ds.write_descriptor(id, f);
}

} // namespace clitest
