#include "seeds.h"

#include "datastore_harness.h"
#include "le.h"
#include "records.h"

#include <algorithm>

namespace dsfuzz {
namespace {

namespace layout = dsb::layout;
using Bytes = std::vector<uint8_t>;

Bytes copy_of(std::span<const uint8_t> s) { return {s.begin(), s.end()}; }

template <typename T>
Bytes with(Bytes b, size_t off, T v) {
    dsb::put_le<T>(b, off, v);
    return b;
}

uint32_t le32(std::span<const uint8_t> b, size_t off) { return dsb::get_le<uint32_t>(b, off); }

void add(std::vector<Seed>& out, std::string name, Bytes bytes) { out.push_back({std::move(name), std::move(bytes)}); }

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

std::string slug(std::string s) {
    for (char& c : s)
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-'))
            c = '_';
    return s;
}

// Ids of every kind, each with a field value that is in range on the
// datastore, at a range edge, or past it.
std::vector<uint32_t> ids_of_every_type() {
    std::vector<uint32_t> ids;
    for (uint32_t type = 0; type < 8; ++type)
        for (uint32_t high : {0u, 1u, 37u, 0x3FFFFFFu})
            ids.push_back(high << 6 | type);
    return ids;
}

void datastore_seeds(std::vector<Seed>& out) {
    DatastoreHarness& h = harness();
    add(out, "undamaged", {});
    for (size_t k = 0; k < h.regions().size(); ++k)
        add(out, "region-" + std::to_string(k) + "-" + slug(h.regions()[k].name), patch(k, 0, h.pristine(k)));

    auto region = [&](const std::string& name) { return h.region_index(name); };
    auto pristine = [&](const std::string& name) { return copy_of(h.pristine(region(name))); };
    auto whole = [&](const std::string& name, const Bytes& bytes) { return patch(region(name), 0, bytes); };

    // Sizes a descriptor can claim: 2^62 on a directory and on a file, and
    // a negative one.
    add(out, "dir-size-2-62", whole("descriptor /vm1", with<int64_t>(pristine("descriptor /vm1"), 0x214, int64_t{1} << 62)));
    add(out, "root-size-2-62", whole("descriptor /", with<int64_t>(pristine("descriptor /"), 0x214, int64_t{1} << 62)));
    add(out, "file-size-2-62",
        whole("descriptor /vm2/vm2-thin.vmdk",
              with<int64_t>(pristine("descriptor /vm2/vm2-thin.vmdk"), 0x214, int64_t{1} << 62)));
    add(out, "file-size-negative",
        whole("descriptor /vm1/vm1.vmx", with<int64_t>(pristine("descriptor /vm1/vm1.vmx"), 0x214, -5)));
    add(out, "dir-block-size-2-40",
        whole("descriptor /vm1", with<int64_t>(with<int64_t>(pristine("descriptor /vm1"), 0x214, int64_t{1} << 62),
                                               0x21C, int64_t{1} << 40)));

    // Bitmap headers: item sizes of 0 and above 2048, and huge counts.
    const char* sys[] = {".fdc.sf", ".sbc.sf", ".pbc.sf", ".fbb.sf"};
    for (const char* f : sys) {
        const std::string name = std::string(f) + " header";
        const Bytes head = pristine(name);
        const std::string s = slug(f);
        add(out, s + "-item-size-0", whole(name, with<int32_t>(head, 12, 0)));
        add(out, s + "-item-size-4096", whole(name, with<int32_t>(head, 12, 4096)));
        add(out, s + "-item-size-max", whole(name, with<int32_t>(head, 12, 0x7FFFFFFF)));
        add(out, s + "-area-count-huge", whole(name, with<int32_t>(head, 24, 0x7FFFFFFF)));
        add(out, s + "-entries-per-area-huge", whole(name, with<int32_t>(head, 4, 0x7FFFFFFF)));
        add(out, s + "-items-per-entry-huge", whole(name, with<int32_t>(head, 0, 0x7FFFFFFF)));
        add(out, s + "-area-size-negative", whole(name, with<int32_t>(head, 16, -1024)));
        add(out, s + "-header-size-huge", whole(name, with<int32_t>(head, 8, 0x7FFFFC00)));
        const std::string entry = std::string(f) + " entry 0";
        Bytes e = with<uint32_t>(with<uint32_t>(pristine(entry), 0x204, 0xFFFFFFFF), 0x208, 0xFFFFFFFF);
        std::fill(e.begin() + 0x210, e.end(), uint8_t{0xFF});
        add(out, s + "-entry-all-free", whole(entry, e));
        add(out, s + "-entry-id-huge", whole(entry, with<uint32_t>(pristine(entry), 0x200, 0xFFFFFFFF)));
    }

    // Directories that name themselves and their ancestors.
    const uint32_t vm1 = le32(pristine("descriptor /vm1"), 0x200);
    const uint32_t snapshots = le32(pristine("descriptor /vm1/snapshots"), 0x200);
    auto entry = [](uint32_t type, uint32_t id, std::string_view name) {
        auto e = dsb::encode_dirent(type, id, 0, name);
        return Bytes(e.begin(), e.end());
    };
    const size_t vm1_entries = region("entries /vm1");
    add(out, "dir-names-itself", patch(vm1_entries, 2 * layout::kDirentSize, entry(2, vm1, "again")));
    add(out, "dir-names-root", patch(vm1_entries, 2 * layout::kDirentSize, entry(2, 4, "up")));
    add(out, "dir-cycle-of-two",
        cat({patch(region("entries /vm1/snapshots"), 2 * layout::kDirentSize, entry(2, vm1, "back")),
             patch(vm1_entries, 2 * layout::kDirentSize, entry(2, snapshots, "down"))}));
    add(out, "dir-entry-is-a-descriptor-of-a-file", patch(vm1_entries, 2 * layout::kDirentSize,
                                                          entry(2, le32(pristine("descriptor /vm1/vm1.log"), 0x200),
                                                                "not-a-dir")));

    // Names: 128 bytes without a NUL, invalid UTF-8, blanks and controls.
    Bytes no_nul = entry(3, le32(pristine("descriptor /vm1/vm1.vmx"), 0x200), std::string(128, 'x'));
    add(out, "name-without-nul", patch(vm1_entries, 2 * layout::kDirentSize, no_nul));
    add(out, "name-invalid-utf8",
        patch(vm1_entries, 2 * layout::kDirentSize + 12, Bytes{0xC0, 0xAF, 0xED, 0xA0, 0x80, 0xF8, 0xFF, 0x80, 0}));
    add(out, "name-blanks-only", patch(vm1_entries, 2 * layout::kDirentSize + 12, Bytes{1, 2, ' ', '\t', 0}));

    // Block ids of every type in every slot of a descriptor's block list and
    // of a pointer block.
    const std::vector<uint32_t> ids = ids_of_every_type();
    for (const char* name : {"descriptor /vm1/vm1.log", "descriptor /vm1/vm1.nvram", "descriptor /vm2/vm2-flat.vmdk",
                             "descriptor /vm1", "descriptor /.pbc.sf"}) {
        Bytes d = pristine(name);
        for (size_t k = 0; k < layout::kBlockSlots; ++k)
            dsb::put_le<uint32_t>(d, layout::fd::kBlocks + 4 * k, ids[k % ids.size()]);
        add(out, "every-id-type-" + slug(name), whole(name, d));
    }
    Bytes pb(4096);
    for (size_t k = 0; k < pb.size() / 4; ++k) dsb::put_le<uint32_t>(pb, 4 * k, ids[k % ids.size()]);
    add(out, "every-id-type-pointer-block", whole("pointer block 0 /vm2/vm2-flat.vmdk", pb));
    add(out, "every-id-type-lost-pointer", whole("lost pointer block", Bytes(pb.begin(), pb.begin() + 64)));

    // Addressing modes and types other than the descriptor's own.
    for (uint32_t mode : {0u, 2u, 3u, 4u, 0xFFFFFFFFu})
        add(out, "addr-mode-" + std::to_string(mode) + "-on-a-directory",
            whole("descriptor /vm1", with<uint32_t>(pristine("descriptor /vm1"), 0x244, mode)));
    add(out, "root-type-6", whole("descriptor /", with<uint32_t>(pristine("descriptor /"), 0x20C, 6)));

    // Zeroed and random-filled metadata.
    for (const char* name : {"fs descriptor", ".fdc.sf header", "descriptor /", "entries /", ".pbc.sf entry 0"}) {
        const Bytes orig = pristine(name);
        add(out, "zeroed-" + slug(name), whole(name, Bytes(orig.size(), 0)));
        Bytes junk(orig.size());
        uint32_t x = 0x9E3779B9u ^ static_cast<uint32_t>(orig.size());
        for (uint8_t& b : junk) {
            x ^= x << 13, x ^= x >> 17, x ^= x << 5;
            b = static_cast<uint8_t>(x);
        }
        add(out, "random-" + slug(name), whole(name, junk));
    }

    // A disk that stops answering: inside the volume header, the file-system
    // descriptor, the first system file, and a file's data.
    const int64_t vh = h.regions()[region("volume header")].offset;
    const int64_t fsd = h.regions()[region("fs descriptor")].offset;
    const int64_t fdc = h.regions()[region(".fdc.sf header")].offset;
    const int64_t data = h.regions()[region("flat boot record")].offset;
    for (auto [name, at] : {std::pair{"volume-header", vh + 512}, std::pair{"fs-descriptor", fsd + 256},
                            std::pair{"fdc", fdc + 70000}, std::pair{"data", data + 16384}})
        add(out, std::string("reads-fail-in-") + name, fail_reads_from(static_cast<uint16_t>(at / kFailStep)));
}

} // namespace

std::map<std::string, std::vector<Seed>> make_seeds() {
    std::map<std::string, std::vector<Seed>> all;
    DatastoreHarness& h = harness();
    auto pristine = [&](const std::string& name) { return copy_of(h.pristine(h.region_index(name))); };

    add(all["volume_header"], "member", pristine("volume header"));
    add(all["volume_header"], "segment-1", with<int32_t>(pristine("volume header"), layout::vh::kFirstSegment, 1));
    add(all["volume_header"], "segments-huge",
        with<int32_t>(pristine("volume header"), layout::vh::kLastSegment, 0x7FFFFFFF));

    add(all["fsinfo"], "descriptor", pristine("fs descriptor"));
    for (int64_t bs : {int64_t{0}, int64_t{-1}, int64_t{512}, int64_t{3} << 20, int64_t{1} << 28, int64_t{1} << 40})
        add(all["fsinfo"], "block-size-" + std::to_string(bs),
            with<int64_t>(pristine("fs descriptor"), layout::fs::kBlockSize, bs));

    for (const char* f : {".fdc.sf", ".sbc.sf", ".pbc.sf", ".fbb.sf"}) {
        const Bytes head = pristine(std::string(f) + " header");
        const auto header_size = static_cast<size_t>(dsb::get_le<int32_t>(head, 8));
        Bytes file(header_size + 2 * layout::kBitmapEntrySize);
        std::copy(head.begin(), head.end(), file.begin());
        const Bytes e0 = pristine(std::string(f) + " entry 0");
        std::copy(e0.begin(), e0.end(), file.begin() + static_cast<int64_t>(header_size));
        add(all["bitmap"], slug(f), file);
    }

    for (const Region& r : h.regions())
        if (r.name.rfind("descriptor ", 0) == 0) add(all["descriptor"], slug(r.name), copy_of(h.pristine(h.region_index(r.name))));

    const Bytes root_entries = pristine("entries /");
    for (size_t at = 0; at + layout::kDirentSize <= root_entries.size(); at += layout::kDirentSize)
        add(all["dirent"], "root-" + std::to_string(at / layout::kDirentSize),
            Bytes(root_entries.begin() + static_cast<int64_t>(at),
                  root_entries.begin() + static_cast<int64_t>(at + layout::kDirentSize)));
    auto no_nul = dsb::encode_dirent(3, 0x400004, 0, std::string(128, 'z'));
    add(all["dirent"], "name-without-nul", Bytes(no_nul.begin(), no_nul.end()));

    add(all["mbr"], "lost-disk", pristine("lost boot record"));
    add(all["mbr"], "flat-disk", pristine("flat boot record"));
    const std::vector<dsb::PartitionEntry> four = {
        {0x07, 63, 0xFFFFFFFF, true}, {0x83, 1, 0xFFFFFFFF}, {0x05, 2, 0xFFFFFFFF}, {0x0C, 3, 0xFFFFFFFF}};
    add(all["mbr"], "four-largest", dsb::make_mbr({0xEB, 0x48, 0x90}, four));
    add(all["mbr"], "empty-table", dsb::make_mbr({0x33, 0xC0, 0x8E}, {}));
    add(all["mbr"], "bad-signature", dsb::make_mbr({0xFA, 0x33, 0xC0}, four, {0x55, 0xAB}));

    datastore_seeds(all["datastore"]);
    return all;
}

} // namespace dsfuzz
