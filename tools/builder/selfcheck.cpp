// Self-checks of the builder: the bytes must land where the on-disk layout
// says. Images are read back with a small raw reader written here from the
// layout (volume header -> segments -> descriptor -> .fdc.sf -> directories),
// not through the builder's own bookkeeping.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "datastore_builder.h"
#include "le.h"

namespace fsys = std::filesystem;
using namespace dsb;
using Bytes = std::vector<std::uint8_t>;

namespace {

int failures = 0;
int checks = 0;

void check(bool ok, const std::string& what) {
    ++checks;
    if (!ok) {
        ++failures;
        std::fprintf(stderr, "FAIL: %s\n", what.c_str());
    }
}

template <typename T>
void check_eq(T got, T want, const std::string& what) {
    check(got == want, what + " (got " + std::to_string(got) + ", want " + std::to_string(want) + ")");
}

Bytes read_raw(const std::string& path, std::uint64_t off, std::size_t len) {
    std::ifstream f(path, std::ios::binary);
    f.seekg(static_cast<std::streamoff>(off));
    Bytes b(len);
    f.read(reinterpret_cast<char*>(b.data()), static_cast<std::streamsize>(len));
    if (static_cast<std::size_t>(f.gcount()) != len) throw std::runtime_error("short raw read of " + path);
    return b;
}

std::uint32_t u32(const Bytes& b, std::size_t off) { return get_le<std::uint32_t>(b, off); }
std::uint64_t u64(const Bytes& b, std::size_t off) { return get_le<std::uint64_t>(b, off); }

// Reads a datastore the way the layout describes it, from the image files only.
class RawReader {
public:
    RawReader(const std::vector<std::string>& images, std::int64_t start_sector) {
        for (const std::string& p : images) {
            Bytes h = read_raw(p, start_sector * 512ull + 0x100000, 1024);
            if (u32(h, 0) != 0xC001D00D) throw std::runtime_error("no volume header in " + p);
            members_.push_back({p, start_sector * 512ull, u32(h, 0x278), u32(h, 0x280)});
        }
        Bytes fsd = lv(0x200000, 512);
        if (!(fsd[0] == 0x5E && fsd[1] == 0xF1 && fsd[2] == 0xAB && fsd[3] == 0x2F))
            throw std::runtime_error("bad file-system descriptor magic");
        bs_ = u64(fsd, 0xA1);
        // Stand-in descriptor for .fdc.sf: one block at 4 MiB rounded down, at least block 1.
        Bytes prov(2048, 0);
        std::uint64_t n = std::max<std::uint64_t>(1, 4194304 / bs_);
        put_le<std::uint32_t>(prov, 0x20C, 5);
        put_le<std::uint64_t>(prov, 0x214, bs_);
        put_le<std::uint64_t>(prov, 0x21C, bs_);
        put_le<std::uint32_t>(prov, 0x244, 1);
        put_le<std::uint32_t>(prov, 0x400, fb_build(static_cast<std::uint32_t>(n)));
        sys_[".fdc.sf"] = {prov, read(prov, 0, 28)};
        root_ = descriptor(4);
        for (const auto& e : entries(root_))
            if (e.type == 5) {
                Bytes d = descriptor(e.id);
                sys_[e.name] = {d, read(d, 0, 28)};
            }
    }

    std::uint64_t block_size() const { return bs_; }

    Bytes lv(std::uint64_t off, std::size_t len) const {
        std::uint64_t seg = off / 0x10000000;
        for (const Member& m : members_)
            if (m.first <= seg && seg <= m.last)
                return read_raw(m.path, m.part + 0x1100000 + off - std::uint64_t{m.first} * 0x10000000, len);
        throw std::runtime_error("no member for offset");
    }

    struct Hdr {
        Bytes desc;
        Bytes head;
    };
    const Hdr& sys(const std::string& name) const { return sys_.at(name); }

    std::uint64_t item_pos(const std::string& sysname, std::uint32_t entry, std::uint32_t item) const {
        const Bytes& h = sys_.at(sysname).head;
        std::uint64_t ipe = u32(h, 0), epa = u32(h, 4), hs = u32(h, 8), isz = u32(h, 12), asz = u32(h, 16);
        std::uint64_t n = entry * ipe + item, per = ipe * epa;
        return hs + (n / per) * asz + epa * 1024 + (n % per) * isz;
    }
    Bytes item(const std::string& sysname, std::uint32_t entry, std::uint32_t item_no) const {
        const Hdr& s = sys_.at(sysname);
        return read(s.desc, item_pos(sysname, entry, item_no), u32(s.head, 12));
    }
    Bytes descriptor(std::uint32_t id) const { return item(".fdc.sf", fd_entry(id), fd_item(id)); }

    // Byte range of a file, resolving every position through its descriptor.
    Bytes read(const Bytes& d, std::uint64_t pos, std::size_t len) const {
        Bytes out;
        const std::uint64_t size = u64(d, 0x214), bsz = u64(d, 0x21C);
        const std::uint32_t mode = u32(d, 0x244);
        if (pos + len > size) throw std::runtime_error("read past end of file");
        while (out.size() < len) {
            std::uint64_t p = pos + out.size();
            std::uint64_t i = p / bsz;
            std::uint32_t id;
            if (mode == 1 || mode == 2) {
                id = u32(d, 0x400 + 4 * i);
            } else if (mode == 3) {
                std::uint64_t per = u32(sys_.at(".pbc.sf").head, 12) / 4;
                std::uint32_t pb = u32(d, 0x400 + 4 * (i / per));
                if (pb == 0) throw std::runtime_error("hole");
                id = u32(item(".pbc.sf", pb_entry(pb), pb_item(pb)), 4 * (i % per));
            } else {
                throw std::runtime_error("bad addr_mode");
            }
            std::size_t want = len - out.size();
            if (blk_kind(id) == BlockKind::File) {
                std::uint64_t off = p % bs_;
                std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(bs_ - off, want));
                Bytes b = lv(std::uint64_t{fb_number(id)} * bs_ + off, n);
                out.insert(out.end(), b.begin(), b.end());
            } else if (blk_kind(id) == BlockKind::Sub) {
                Bytes b = item(".sbc.sf", sb_entry(id), sb_item(id));
                std::uint64_t off = p % b.size();
                std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(b.size() - off, want));
                out.insert(out.end(), b.begin() + static_cast<std::ptrdiff_t>(off),
                           b.begin() + static_cast<std::ptrdiff_t>(off + n));
            } else {
                throw std::runtime_error("hole");
            }
        }
        return out;
    }

    struct Dirent {
        std::uint32_t type, id;
        std::string name;
    };
    std::vector<Dirent> entries(const Bytes& dir) const {
        std::vector<Dirent> out;
        Bytes all = read(dir, 0, static_cast<std::size_t>(u64(dir, 0x214)));
        for (std::size_t at = 0; at + 140 <= all.size(); at += 140) {
            const char* name = reinterpret_cast<const char*>(all.data() + at + 12);
            out.push_back({u32(all, at), u32(all, at + 4), std::string(name, strnlen(name, 128))});
        }
        return out;
    }

    // Free items of a bitmap file in walk order, skipping entries whose free count is 0.
    std::vector<std::pair<std::uint32_t, std::uint32_t>> free_items(const std::string& sysname) const {
        const Hdr& s = sys_.at(sysname);
        std::uint64_t epa = u32(s.head, 4), hs = u32(s.head, 8), asz = u32(s.head, 16), areas = u32(s.head, 24);
        std::vector<std::pair<std::uint32_t, std::uint32_t>> out;
        for (std::uint64_t a = 0; a < areas; ++a) {
            Bytes ents = read(s.desc, hs + a * asz, static_cast<std::size_t>(epa * 1024));
            for (std::uint64_t j = 0; j < epa; ++j) {
                std::size_t e = static_cast<std::size_t>(j * 1024);
                if (u32(ents, e + 0x208) == 0) continue;
                for (std::uint32_t i = 0; i < u32(ents, e + 0x204); ++i)
                    if (ents[e + 0x210 + (i >> 3)] >> (i & 7) & 1) out.emplace_back(u32(ents, e + 0x200), i);
            }
        }
        return out;
    }

    const Bytes& root() const { return root_; }

private:
    struct Member {
        std::string path;
        std::uint64_t part;
        std::uint32_t first, last;
    };
    std::vector<Member> members_;
    std::uint64_t bs_ = 0;
    std::map<std::string, Hdr> sys_;
    Bytes root_;
};

// Content equality: whole file when small, edges and a spread of samples when big.
void check_content(const RawReader& r, const ObjectExpect& o, const std::string& what) {
    Bytes d = r.descriptor(o.id);
    check_eq<std::uint64_t>(u64(d, 0x214), o.size, what + ": size");
    check_eq<std::uint32_t>(u32(d, 0x200), o.id, what + ": own id");
    check_eq<std::uint32_t>(u32(d, 0x20C), o.type, what + ": type");
    check_eq<std::uint32_t>(u32(d, 0x22C), o.create_time, what + ": create time");
    if (o.type != 2 && o.size <= 1024) {
        Bytes want = materialize(o.content, 0, o.size);
        check(std::equal(want.begin(), want.end(), d.begin() + 0x400), what + ": inline content");
        return;
    }
    std::vector<std::pair<std::uint64_t, std::size_t>> ranges;
    if (o.size <= 8 * layout::kMiB) {
        ranges.push_back({0, static_cast<std::size_t>(o.size)});
    } else {
        for (std::uint64_t k = 0; k < 16; ++k) ranges.push_back({o.size / 16 * k, 4096});
        ranges.push_back({o.size - 4096, 4096});
    }
    for (auto [at, len] : ranges) {
        try {
            check(r.read(d, at, len) == materialize(o.content, at, len), what + ": content at " + std::to_string(at));
        } catch (const std::exception& e) {
            check(false, what + ": read at " + std::to_string(at) + ": " + e.what());
        }
    }
}

void check_arithmetic() {
    BitmapGeometry g{16, 16, 65536, 2048, 4};
    check_eq<std::uint32_t>(g.area_size(), 540672, "area size of 16x16 2048-byte items");
    check_eq<std::uint64_t>(g.item_pos(0, 0), 81920, "item (0,0)");
    check_eq<std::uint64_t>(g.item_pos(17, 3), 661504, "item (17,3)");
    check_eq<std::uint64_t>(g.item_pos(16, 0), 65536 + 540672 + 16384, "first item of area 1 follows its entries");
    check_eq<std::uint32_t>(fd_build(0, 0), 4, "root id");
    check_eq<std::uint32_t>(sb_build(1, 1), 0x04000042, "sb_build(1,1)");
    check_eq<std::uint32_t>(fb_number(0xFFFFFFC1), 0x3FFFFFF, "fb number keeps the top bits");
    check_eq<std::uint32_t>(pb_item(pb_build(5, 9)), 9, "pointer item");
    check_eq<std::uint32_t>(fd_entry(fd_build(300, 7)), 300, "descriptor entry");

    BitmapState st(BitmapGeometry{16, 1, 1024, 8, 1}, 16);
    st.claim(0);
    st.claim(9);
    Bytes e = st.entry_bytes(0);
    check_eq<int>(e[0x210 + 1] >> 1 & 1, 0, "allocated item 9 is bit 1 of byte 1, clear");
    check_eq<int>(e[0x210] & 1, 0, "allocated item 0 clear");
    check_eq<int>(e[0x210] >> 1 & 1, 1, "free item 1 set");
    check_eq<std::uint32_t>(u32(e, 0x208), 14, "free count");
    check_eq<std::uint32_t>(u32(e, 0x20C), 1, "first free");
    st.set_free_count(0, 0);
    check_eq<std::uint32_t>(u32(st.entry_bytes(0), 0x208), 0, "overridden free count");
    check_eq<int>(st.entry_bytes(0)[0x210] >> 1 & 1, 1, "bits stay set under a zero free count");
}

void check_demo(const std::string& dir) {
    DemoSummary s = build_demo(dir);
    const std::string img = s.images.at(0);
    const std::uint64_t part = 2048ull * 512;
    Bytes vh = read_raw(img, part + 0x100000, 1024);
    check(vh[0] == 0x0D && vh[1] == 0xD0 && vh[2] == 0x01 && vh[3] == 0xC0, "volume magic bytes");
    check_eq<std::uint32_t>(u32(vh, 0x278), 0, "first segment");
    check_eq<std::uint32_t>(u32(vh, 0x280), 1, "last segment");
    check_eq<std::uint32_t>(u32(vh, 0x290), 1, "extents");
    check_eq<std::uint64_t>(u64(vh, 0x200), 2ull * 0x10000000, "lvm size");
    check_eq<int>(read_raw(img, 510, 1)[0], 0x55, "partition table signature");

    Bytes fsd = read_raw(img, part + 0x1100000 + 0x200000, 512);
    check(fsd[0] == 0x5E && fsd[1] == 0xF1 && fsd[2] == 0xAB && fsd[3] == 0x2F, "fs descriptor magic bytes");
    check_eq<std::uint64_t>(u64(fsd, 0xA1), layout::kMiB, "block size");
    check_eq<std::uint32_t>(u32(fsd, 0xD9), 65536, "sub-block size");
    Bytes rootd = read_raw(img, part + 0x1100000 + 4 * layout::kMiB + 81920, 2048);
    check_eq<std::uint32_t>(u32(rootd, 0x200), 4, "root descriptor at 4 MiB + 81920");
    check_eq<std::uint32_t>(u32(rootd, 0x20C), 2, "root is a directory");
    check_eq<std::uint32_t>(u32(rootd, 0x244), 1, "root in file blocks");

    RawReader r(s.images, s.start_sector);
    auto root = r.entries(r.root());
    check(root.size() >= 6 && root[0].name == "." && root[1].name == ".." && root[1].id == 4, "root . and ..");
    std::set<std::string> sysnames;
    for (const auto& e : root)
        if (e.type == 5) sysnames.insert(e.name);
    check(sysnames == std::set<std::string>{".fbb.sf", ".fdc.sf", ".pbc.sf", ".sbc.sf"}, "four system files");

    // Every live object is reachable by name and reads back as described.
    for (const ObjectExpect& o : s.objects) {
        if (o.id == s.deleted_file.id || o.id == s.deleted_dir.id) continue;
        std::uint32_t cur = 4;
        std::string p = o.path == "/" ? "" : o.path;
        for (std::size_t i = 1; i <= p.size();) {
            std::size_t j = p.find('/', i);
            if (j == std::string::npos) j = p.size();
            std::string name = p.substr(i, j - i);
            std::uint32_t next = 0;
            for (const auto& e : r.entries(r.descriptor(cur)))
                if (e.name == name) next = e.id;
            check(next != 0, "path component " + name + " of " + o.path);
            if (next == 0) break;
            cur = next;
            i = j + 1;
        }
        check_eq<std::uint32_t>(cur, o.id, "resolved " + o.path);
        if (o.id == s.thin_file) continue;
        check_content(r, o, o.path);
    }
    for (const auto& e : r.entries(r.descriptor(s.ids.at("/vm1")))) check(e.name != "vm1-old.log", "deleted name gone");

    // Thin file: data where pointer lookups change slot, holes elsewhere.
    Bytes thin = r.descriptor(s.thin_file);
    const ObjectExpect* to = nullptr;
    for (const ObjectExpect& o : s.objects)
        if (o.id == s.thin_file) to = &o;
    for (std::uint64_t blk : {0ull, 1023ull, 1024ull})
        check(r.read(thin, blk * layout::kMiB, 64) == materialize(to->content, blk * layout::kMiB, 64),
              "thin block " + std::to_string(blk));
    bool hole = false;
    try {
        r.read(thin, 5 * layout::kMiB, 1);
    } catch (const std::exception&) {
        hole = true;
    }
    check(hole, "thin file has a hole at block 5");
    check_eq<std::uint32_t>(u32(thin, 0x244), 3, "thin file through pointer blocks");

    // Deleted file: free slot, descriptor intact, content intact.
    auto fdc_free = r.free_items(".fdc.sf");
    auto is_free = [&](std::uint32_t id) {
        for (auto [e, i] : fdc_free)
            if (fd_build(e, i) == id) return true;
        return false;
    };
    check(is_free(s.deleted_file.id), "deleted file slot is free");
    check(is_free(s.deleted_dir.id), "deleted directory slot is free");
    check(!is_free(s.subblock_file), "live file slot is allocated");
    check(is_free(s.never_used_slot) && u32(r.descriptor(s.never_used_slot), 0x200) == 0, "never-used slot has id 0");
    check_content(r, s.deleted_file, "deleted file");

    // Lost virtual disk: exactly one free pointer block leads to an MBR.
    std::vector<std::uint32_t> rows;
    for (auto [e, i] : r.free_items(".pbc.sf")) {
        Bytes pb = r.item(".pbc.sf", e, i);
        std::uint32_t first = u32(pb, 0);
        if (blk_kind(first) != BlockKind::File) continue;
        Bytes mbr = r.lv(std::uint64_t{fb_number(first)} * r.block_size(), 512);
        bool boot = (mbr[0] == 0x33 && mbr[1] == 0xC0 && mbr[2] == 0x8E) ||
            (mbr[0] == 0xEB && mbr[1] == 0x48 && mbr[2] == 0x90) ||
            (mbr[0] == 0xFA && mbr[1] == 0x33 && mbr[2] == 0xC0);
        if (boot && mbr[510] == 0x55 && mbr[511] == 0xAA) {
            rows.push_back(pb_build(e, i));
            check_eq<int>(mbr[0x1BE + 4], 0x07, "NTFS partition type");
        }
    }
    check(rows.size() == 1 && rows[0] == s.lost_disks.at(0).pointer_block, "one lost disk row, from the named block");
}

// The format scan redone from raw bytes: free directory descriptors whose
// ".." names the root, with the first free sub-block copy when needed.
std::vector<FoundDir> format_scan(const RawReader& r) {
    auto sb_free = r.free_items(".sbc.sf");
    std::vector<FoundDir> found;
    for (auto [e, i] : r.free_items(".fdc.sf")) {
        std::uint32_t f = fd_build(e, i);
        Bytes d = r.descriptor(f);
        if (u32(d, 0x200) != f || u32(d, 0x20C) != 2) continue;
        std::int32_t first = -1;
        if (u32(r.read(d, 0, 140), 4) != f) {
            first = 0;
            for (auto [se, si] : sb_free) {
                Bytes b = r.item(".sbc.sf", se, si);
                if (u32(b, 0) == 2 && u32(b, 4) == f) {
                    first = static_cast<std::int32_t>(sb_build(se, si));
                    break;
                }
            }
            if (first == 0) continue;
            put_le<std::uint32_t>(d, 0x400, static_cast<std::uint32_t>(first));
        }
        if (u32(r.read(d, 140, 140), 4) == 4)
            found.push_back({static_cast<std::uint32_t>(found.size() + 1), f, first, ""});
    }
    return found;
}

void check_found(const std::vector<FoundDir>& found, const std::vector<FoundDir>& want) {
    check_eq<std::size_t>(found.size(), want.size(), "found directory count");
    for (std::size_t k = 0; k < std::min(found.size(), want.size()); ++k) {
        check_eq<std::uint32_t>(found[k].dir_id, want[k].dir_id, "found dir id " + std::to_string(k));
        check_eq<std::int32_t>(found[k].first_block, want[k].first_block, "found dir first block " + std::to_string(k));
    }
}

void check_formatted(const std::string& dir) {
    FormattedSummary s = build_formatted(dir);
    RawReader r(s.images, s.start_sector);
    check_found(format_scan(r), s.found);
    // The reused directory's file exports byte for byte through the surviving copy.
    Bytes bdir = r.descriptor(s.reused_dir);
    put_le<std::uint32_t>(bdir, 0x400, s.copy_block);
    std::uint32_t disk = 0;
    for (const auto& e : r.entries(bdir))
        if (e.name == "vm-old-flat.vmdk") disk = e.id;
    check_eq<std::uint32_t>(disk, s.file_in_reused.id, "file named in the surviving copy");
    check_content(r, s.file_in_reused, "file in reused directory");
    check_content(r, s.file_in_deep, "file in deeper directory");
    for (const auto& e : r.entries(r.root()))
        check(e.id != s.intact_dir && e.id != s.reused_dir, "new root forgets old");
}

void check_multi(const std::string& dir) {
    MultiSummary s = build_multi(dir);
    check_eq<std::size_t>(s.images.size(), 2, "two members");
    Bytes h1 = read_raw(s.images[1], 2048 * 512 + 0x100000, 1024);
    check_eq<std::uint32_t>(u32(h1, 0x278), 2, "member 1 first segment");
    check_eq<std::uint32_t>(u32(h1, 0x290), 2, "extents on member 1");
    Bytes h0 = read_raw(s.images[0], 2048 * 512 + 0x100000, 1024);
    check(std::equal(h0.begin() + 0x254, h0.begin() + 0x264, h1.begin() + 0x254), "same lvm uuid on both");
    // Block 512 (LV 512 MiB) starts member 1's data area.
    Bytes direct = read_raw(s.images[1], 2048 * 512 + 0x1100000, 64);
    check(direct == materialize(s.spanning.content, 2 * layout::kMiB, 64), "third block of span.bin on member 1");
    RawReader r(s.images, s.start_sector);
    check_content(r, s.spanning, "span.bin across members");
}

void check_block_sizes(const std::string& dir) {
    for (std::uint64_t mib : {2ull, 4ull, 8ull}) {
        DatastoreOptions o;
        o.path = dir + "/bs" + std::to_string(mib) + ".img";
        o.block_size = mib * layout::kMiB;
        std::uint32_t id;
        ObjectExpect e;
        {
            ImageBuilder ds(o);
            id = ds.add_file("/d/f.bin", generated_file(3 * o.block_size + 11, pattern_content(mib)));
            ds.finish();
            check_eq<std::uint32_t>(ds.system_file_first_block(SysFile::Fdc), mib == 2 ? 2 : 1,
                                    ".fdc.sf block for " + std::to_string(mib) + " MiB");
            e = expect(ds, id);
        }
        RawReader r({o.path}, 2048);
        check_content(r, e, "file with " + std::to_string(mib) + " MiB blocks");
        fsys::remove(o.path);
    }
}

void check_damage_controls(const std::string& dir) {
    DatastoreOptions o;
    o.path = dir + "/damage.img";
    o.bad_fs_magic = true;
    MemberSpec m{dir + "/damage.img", 63, 1, 1, {}, false};
    m.header.magic = 0xDEADBEEF;
    m.header.lvm_uuid = Uuid{1};
    m.header.patches.push_back({0x12, {'X'}});
    VolumeSpec vs;
    vs.members = {m};
    {
        Volume v(vs);
        Bytes h = read_raw(m.path, 63 * 512 + 0x100000, 1024);
        check_eq<std::uint32_t>(u32(h, 0), 0xDEADBEEF, "overridden magic");
        check_eq<std::uint32_t>(u32(h, 0x278), 1, "first segment 1 member");
        check_eq<int>(h[0x254], 1, "overridden lvm uuid");
        check_eq<int>(h[0x12], 'X', "raw header patch");
        check_eq<std::uint64_t>(read_raw(m.path, 0, 512)[510], 0, "no partition table when not asked");
    }
    {
        ImageBuilder ds(o);
        std::uint32_t f = ds.add_file("/a.txt", text_file("hello"));
        std::uint32_t sb = ds.unused(SysFile::Sbc);
        ds.write_item(sb, 0, Bytes{0xAB, 0xCD});
        ds.set_entry_free_count(SysFile::Sbc, 0, 0);
        ds.write_file_bytes(f, 1, Bytes{'A'});
        ds.finish();
        Bytes fsd(512);
        ds.volume().read(0x200000, fsd);
        check(fsd[0] != 0x5E, "bad fs magic written");
        check(ds.read_item(sb)[1] == 0xCD, "raw bytes in a free sub-block");
        check_eq<int>(ds.read_item(f)[0x401], 'A', "inline byte overwritten");
        Bytes e(1024);
        ds.volume().read(ds.system_file_first_block(SysFile::Sbc) * layout::kMiB + 65536, e);
        check_eq<std::uint32_t>(u32(e, 0x208), 0, "sbc entry 0 free count forced to 0");
        check(e[0x210 + 1] != 0, "its bits stay set");
    }
    fsys::remove(o.path);
}

void check_bench_small(const std::string& dir) {
    BenchOptions b;
    b.big_file_size = 64 * layout::kMiB + 3;
    b.fdc_slots = 2000;
    b.old_dirs = 20;
    b.free_subblocks = 300;
    b.dir_entries = 400;
    BenchSummary s = build_bench(dir, b);
    RawReader r(s.images, s.start_sector);
    check(s.fdc_slots >= 2000 && s.free_subblocks >= 300, "bench sizes");
    check_eq<std::size_t>(r.entries(r.descriptor(s.big_dir)).size(), 402, "big directory entries");
    check_content(r, s.big_file, "bench big file");
    check_eq<std::uint32_t>(u32(r.descriptor(s.big_file.id), 0x244), 3, "big file through pointer blocks");
    check_found(format_scan(r), s.found);
    fsys::remove(s.images[0]);
}

} // namespace

int main(int argc, char** argv) {
    const std::string dir = argc > 1 ? argv[1] : (fsys::temp_directory_path() / "ds_builder_selfcheck").string();
    fsys::create_directories(dir);
    try {
        check_arithmetic();
        check_demo(dir);
        check_formatted(dir);
        check_multi(dir);
        check_block_sizes(dir);
        check_damage_controls(dir);
        check_bench_small(dir);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "FAIL: exception: %s\n", e.what());
        ++failures;
    }
    if (argc <= 1) fsys::remove_all(dir);
    std::printf("%d passed, %d failed\n", checks - failures, failures);
    return failures == 0 ? 0 : 1;
}
