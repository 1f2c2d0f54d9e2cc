#include <algorithm>
#include <stdexcept>

#include "datastore_builder.h"
#include "le.h"

namespace dsb {

using namespace layout;

namespace {

std::uint64_t ceil_div(std::uint64_t a, std::uint64_t b) { return (a + b - 1) / b; }

bool all_zero(std::span<const std::uint8_t> s) {
    return std::all_of(s.begin(), s.end(), [](std::uint8_t c) { return c == 0; });
}

std::vector<std::string> split_path(std::string_view path) {
    std::vector<std::string> parts;
    std::size_t i = 0;
    while (i < path.size()) {
        std::size_t j = path.find('/', i);
        if (j == std::string_view::npos) j = path.size();
        if (j > i) parts.emplace_back(path.substr(i, j - i));
        i = j + 1;
    }
    for (const std::string& p : parts)
        if (p == "." || p == "..") throw std::invalid_argument("dsb: path components . and .. are not allowed");
    return parts;
}

std::string join(const std::string& dir, const std::string& name) { return dir == "/" ? "/" + name : dir + "/" + name; }

constexpr SysFile kAllSys[] = {SysFile::Fdc, SysFile::Sbc, SysFile::Pbc, SysFile::Fbb};

} // namespace

const char* storage_name(Storage s) {
    switch (s) {
    case Storage::Auto: return "auto";
    case Storage::Inline: return "inline";
    case Storage::SubBlocks: return "sub-blocks";
    case Storage::FileBlocks: return "file-blocks";
    case Storage::PointerBlocks: return "pointer-blocks";
    }
    return "?";
}

FileSpec text_file(std::string_view text, Storage storage) {
    FileSpec s;
    s.size = text.size();
    s.content = text_content(text);
    s.storage = storage;
    return s;
}

FileSpec generated_file(std::uint64_t size, ContentFn content, Storage storage) {
    FileSpec s;
    s.size = size;
    s.content = std::move(content);
    s.storage = storage;
    return s;
}

ImageBuilder::ImageBuilder(DatastoreOptions options) : opt_(std::move(options)) {
    const std::uint64_t bs = opt_.block_size;
    if (bs < 64 * 1024 || bs > kSegmentSize || (bs & (bs - 1)) != 0)
        throw std::invalid_argument("dsb: block size must be a power of two between 64 KiB and 256 MiB");

    VolumeSpec vs;
    vs.lvm_uuid = opt_.lvm_uuid;
    vs.name = opt_.volume_name;
    vs.members = opt_.members;
    if (vs.members.empty()) {
        if (opt_.segments == 0) throw std::invalid_argument("dsb: a volume needs at least one segment");
        vs.members.push_back({opt_.path, opt_.start_sector, 0, opt_.segments - 1, {}, true});
    }
    vol_ = std::make_unique<Volume>(std::move(vs));

    const std::uint64_t nblocks = std::min<std::uint64_t>(vol_->size() / bs, kFileBlockLimit);
    auto check = [](bool ok, const char* what) {
        if (!ok) throw std::invalid_argument(std::string("dsb: ") + what);
    };
    check(opt_.fdc.item_size >= kDescriptorSize, ".fdc.sf items must hold a 2048-byte descriptor");
    check(opt_.fdc.items_per_entry <= kDescriptorItemLimit, ".fdc.sf: more items per entry than a descriptor id holds");
    check(opt_.sbc.items_per_entry <= kSubItemLimit, ".sbc.sf: more items per entry than a sub-block id holds");
    check(opt_.pbc.items_per_entry <= kPointerItemLimit, ".pbc.sf: more items per entry than a pointer-block id holds");
    check(opt_.sbc.item_size > 0 && opt_.pbc.item_size >= 4, "sub-block and pointer-block items need a size");
    check(opt_.fdc.entry_count() <= kDescriptorEntryLimit, ".fdc.sf: more entries than a descriptor id holds");

    BitmapGeometry fbb;
    fbb.items_per_entry = opt_.fbb_items_per_entry;
    fbb.entries_per_area = opt_.fbb_entries_per_area;
    fbb.header_size = 65536;
    fbb.item_size = opt_.fbb_item_size.value_or(static_cast<std::uint32_t>(bs));
    fbb.area_count = static_cast<std::uint32_t>(ceil_div(nblocks, fbb.items_per_area()));
    fbb.area_size_override = fbb.entries_per_area * kBitmapEntrySize;

    bitmaps_[SysFile::Fdc] = BitmapState(opt_.fdc, opt_.fdc.total_items());
    bitmaps_[SysFile::Sbc] = BitmapState(opt_.sbc, opt_.sbc.total_items());
    bitmaps_[SysFile::Pbc] = BitmapState(opt_.pbc, opt_.pbc.total_items());
    bitmaps_[SysFile::Fbb] = BitmapState(fbb, nblocks);

    // .fdc.sf sits where a reader looks for it before anything else is known:
    // 4 MiB into the volume, rounded down to a block, never block 0 (that one
    // holds the file-system descriptor). Blocks before it stay reserved.
    const std::uint32_t fdc_start = static_cast<std::uint32_t>(std::max<std::uint64_t>(1, kFdcBase / bs));
    BitmapState& fb = state(SysFile::Fbb);
    for (std::uint32_t b = 0; b < fdc_start; ++b) fb.claim(b);
    std::uint32_t cursor = fdc_start;
    for (SysFile f : kAllSys) {
        std::uint64_t count = ceil_div(geometry(f).file_size(), bs);
        if (count > kBlockSlots)
            throw std::invalid_argument(std::string("dsb: ") + sysfile_name(f) + " needs more than 256 blocks");
        sys_start_[f] = cursor;
        for (std::uint64_t i = 0; i < count; ++i) fb.claim(cursor + i);
        cursor += static_cast<std::uint32_t>(count);
    }
    // The root descriptor is first read through a one-block stand-in for .fdc.sf.
    if (opt_.fdc.item_pos(0, 0) + kDescriptorSize > bs)
        throw std::invalid_argument("dsb: the root descriptor would lie beyond the first block of .fdc.sf");

    FsDescriptorFields fsd;
    fsd.magic = opt_.bad_fs_magic ? 0x2FABF15F : kFsMagic;
    fsd.uuid = opt_.lvm_uuid;
    fsd.label = opt_.volume_name;
    fsd.block_size = static_cast<std::int64_t>(bs);
    fsd.fdc_header_size = static_cast<std::int32_t>(opt_.fdc.header_size);
    fsd.fdc_bitmap_count = static_cast<std::int32_t>(opt_.fdc.entry_count());
    fsd.sub_block_size = static_cast<std::int32_t>(opt_.sbc.item_size);
    vol_->write(kFsDescriptorOffset, encode_fs_descriptor(fsd));

    const std::uint32_t root_id = new_slot();
    Node& root = nodes_[root_id];
    root.info.id = root.info.parent = root_id;
    root.info.path = "/";
    root.info.type = kTypeDirectory;
    stamp(root.info);
    // The root is walked before .sbc.sf is open, so it must live in file blocks.
    root.requested = Storage::FileBlocks;
    root.entries = {{kTypeDirectory, root_id, 0, "."}, {kTypeDirectory, root_id, 0, ".."}};
    paths_["/"] = root_id;

    for (SysFile f : {SysFile::Fbb, SysFile::Fdc, SysFile::Pbc, SysFile::Sbc}) {
        const std::uint32_t id = new_slot();
        sys_id_[f] = id;
        Node& n = nodes_[id];
        n.info.id = id;
        n.info.parent = root_id;
        n.info.name = sysfile_name(f);
        n.info.path = join("/", n.info.name);
        n.info.type = kTypeSystem;
        n.info.size = geometry(f).file_size();
        n.info.storage = Storage::FileBlocks;
        n.info.addr_mode = kAddrFileBlocks;
        n.info.unit = bs;
        stamp(n.info);
        DescriptorFields d;
        d.id = id;
        d.type = kTypeSystem;
        d.size = static_cast<std::int64_t>(n.info.size);
        d.block_size = static_cast<std::int64_t>(bs);
        d.addr_mode = kAddrFileBlocks;
        d.create_time = n.info.create_time;
        d.update_time = n.info.update_time;
        d.atime = n.info.atime;
        std::uint64_t count = ceil_div(n.info.size, bs);
        d.block_count = static_cast<std::int64_t>(count);
        for (std::uint64_t i = 0; i < count; ++i) {
            d.blocks[i] = fb_build(sys_start_[f] + static_cast<std::uint32_t>(i));
            n.info.data_ids.push_back(d.blocks[i]);
        }
        write_descriptor(id, d);
        append_entry(root, {kTypeSystem, id, 0, n.info.name});
        paths_[n.info.path] = id;
    }
}

ImageBuilder::~ImageBuilder() {
    if (finished_) return;
    try {
        finish();
    } catch (...) {
        // A destructor cannot report; an unfinished image is the caller's bug.
    }
}

BitmapState& ImageBuilder::state(SysFile f) { return bitmaps_.at(f); }
const BitmapState& ImageBuilder::bitmap(SysFile f) const { return bitmaps_.at(f); }
const BitmapGeometry& ImageBuilder::geometry(SysFile f) const { return bitmaps_.at(f).geometry(); }
std::uint32_t ImageBuilder::system_file(SysFile f) const { return sys_id_.at(f); }
std::uint32_t ImageBuilder::system_file_first_block(SysFile f) const { return sys_start_.at(f); }

ImageBuilder::Node& ImageBuilder::node(std::uint32_t id) {
    auto it = nodes_.find(id);
    if (it == nodes_.end()) throw std::out_of_range("dsb: no object with descriptor id " + std::to_string(id));
    return it->second;
}

const ImageBuilder::Node& ImageBuilder::node(std::uint32_t id) const {
    auto it = nodes_.find(id);
    if (it == nodes_.end()) throw std::out_of_range("dsb: no object with descriptor id " + std::to_string(id));
    return it->second;
}

const ObjectInfo& ImageBuilder::info(std::uint32_t id) const { return node(id).info; }

std::uint32_t ImageBuilder::lookup(std::string_view path) const {
    std::string key = "/";
    for (const std::string& p : split_path(path)) key = join(key, p);
    auto it = paths_.find(key);
    if (it == paths_.end()) throw std::out_of_range("dsb: no live object at " + key);
    return it->second;
}

void ImageBuilder::require_open() const {
    if (finished_) throw std::logic_error("dsb: the datastore is finished; only low-level writes are allowed");
}

std::uint32_t ImageBuilder::id_for(SysFile f, std::uint64_t n) const {
    if (f == SysFile::Fbb) return fb_build(static_cast<std::uint32_t>(n));
    const std::uint32_t ipe = geometry(f).items_per_entry;
    const auto entry = static_cast<std::uint32_t>(n / ipe);
    const auto item = static_cast<std::uint32_t>(n % ipe);
    switch (f) {
    case SysFile::Fdc: return fd_build(entry, item);
    case SysFile::Sbc: return sb_build(entry, item);
    case SysFile::Pbc: return pb_build(entry, item);
    case SysFile::Fbb: break;
    }
    return 0;
}

SysFile ImageBuilder::file_of(std::uint32_t id) const {
    switch (blk_kind(id)) {
    case BlockKind::File: return SysFile::Fbb;
    case BlockKind::Sub: return SysFile::Sbc;
    case BlockKind::Pointer: return SysFile::Pbc;
    case BlockKind::Descriptor: return SysFile::Fdc;
    default: throw std::invalid_argument("dsb: block id " + std::to_string(id) + " names nothing");
    }
}

std::uint64_t ImageBuilder::bitmap_index(std::uint32_t id) const {
    SysFile f = file_of(id);
    if (f == SysFile::Fbb) return fb_number(id);
    const std::uint64_t ipe = geometry(f).items_per_entry;
    switch (f) {
    case SysFile::Sbc: return sb_entry(id) * ipe + sb_item(id);
    case SysFile::Pbc: return pb_entry(id) * ipe + pb_item(id);
    default: return fd_entry(id) * ipe + fd_item(id);
    }
}

std::uint64_t ImageBuilder::sys_lv(SysFile f, std::uint64_t file_offset) const {
    if (file_offset >= geometry(f).file_size()) throw std::out_of_range("dsb: offset outside the system file");
    return std::uint64_t{sys_start_.at(f)} * opt_.block_size + file_offset;
}

std::uint64_t ImageBuilder::item_lv_offset(std::uint32_t id) const {
    SysFile f = file_of(id);
    if (f == SysFile::Fbb) return std::uint64_t{fb_number(id)} * opt_.block_size;
    const std::uint64_t n = bitmap_index(id);
    const BitmapGeometry& g = geometry(f);
    return sys_lv(f,
                  g.item_pos(static_cast<std::uint32_t>(n / g.items_per_entry),
                             static_cast<std::uint32_t>(n % g.items_per_entry)));
}

std::uint64_t ImageBuilder::item_size(std::uint32_t id) const {
    SysFile f = file_of(id);
    return f == SysFile::Fbb ? opt_.block_size : geometry(f).item_size;
}

std::vector<std::uint8_t> ImageBuilder::read_item(std::uint32_t id) const {
    std::vector<std::uint8_t> out(item_size(id));
    vol_->read(item_lv_offset(id), out);
    return out;
}

void ImageBuilder::stamp(ObjectInfo& info) {
    const std::uint32_t t = opt_.time + time_seq_++;
    info.create_time = t;
    info.update_time = opt_.distinct_times ? t + kModifiedLater : t;
    info.atime = opt_.distinct_times ? t + kAccessedLater : t;
}

std::uint32_t ImageBuilder::new_slot() { return id_for(SysFile::Fdc, state(SysFile::Fdc).allocate()); }

std::uint32_t ImageBuilder::mkdir(std::string_view path, Storage storage) {
    require_open();
    std::uint32_t cur = root();
    std::string cur_path = "/";
    for (const std::string& name : split_path(path)) {
        std::string p = join(cur_path, name);
        if (auto it = paths_.find(p); it != paths_.end()) {
            if (info(it->second).type != kTypeDirectory)
                throw std::invalid_argument("dsb: " + p + " is not a directory");
            cur = it->second;
        } else {
            const std::uint32_t id = new_slot();
            Node& n = nodes_[id];
            n.info.id = id;
            n.info.parent = cur;
            n.info.path = p;
            n.info.name = name;
            n.info.type = kTypeDirectory;
            stamp(n.info);
            n.requested = storage;
            n.entries = {{kTypeDirectory, id, 0, "."}, {kTypeDirectory, cur, 0, ".."}};
            append_entry(node(cur), {kTypeDirectory, id, 0, name});
            paths_[p] = id;
            cur = id;
        }
        cur_path = p;
    }
    return cur;
}

std::uint32_t ImageBuilder::add_file(std::string_view path, FileSpec spec) {
    require_open();
    std::vector<std::string> parts = split_path(path);
    if (parts.empty()) throw std::invalid_argument("dsb: a file needs a name");
    if (spec.type == kTypeDirectory) throw std::invalid_argument("dsb: use mkdir for directories");
    std::string name = parts.back();
    parts.pop_back();
    std::string dir_path = "/";
    for (const std::string& p : parts) dir_path = join(dir_path, p);
    const std::uint32_t parent = mkdir(dir_path);
    const std::string p = join(dir_path, name);
    if (paths_.count(p) != 0) throw std::invalid_argument("dsb: " + p + " exists already");
    if (!spec.content) spec.content = zero_content();

    const std::uint32_t id = new_slot();
    Node& n = nodes_[id];
    n.info.id = id;
    n.info.parent = parent;
    n.info.path = p;
    n.info.name = name;
    n.info.type = spec.type;
    stamp(n.info);
    n.info.create_time = spec.create_time.value_or(n.info.create_time);
    n.info.update_time = spec.update_time.value_or(n.info.update_time);
    n.info.atime = spec.atime.value_or(n.info.atime);
    n.info.content = spec.content;
    write_object(n, spec);
    append_entry(node(parent), {spec.type, id, 0, name});
    paths_[p] = id;
    return id;
}

std::uint32_t ImageBuilder::add_bulk_file(std::uint32_t dir_id, std::string_view name, FileSpec spec) {
    require_open();
    if (spec.type == kTypeDirectory) throw std::invalid_argument("dsb: use mkdir for directories");
    if (name.empty() || name.size() > dirent::kNameLen || name.find('/') != std::string_view::npos)
        throw std::invalid_argument("dsb: a bulk file needs a plain name of at most 128 bytes");
    Node& dir = node(dir_id);
    if (dir.info.type != kTypeDirectory || dir.frozen || dir.info.deleted)
        throw std::invalid_argument("dsb: not a live directory");
    if (!spec.content) spec.content = zero_content();
    Node n;
    n.info.id = new_slot();
    n.info.parent = dir_id;
    n.info.type = spec.type;
    stamp(n.info);
    n.info.content = spec.content;
    write_object(n, spec);
    append_entry(dir, {spec.type, n.info.id, 0, std::string(name)});
    return n.info.id;
}

void ImageBuilder::add_dirent(std::uint32_t dir_id, std::uint32_t type, std::uint32_t block_id, std::string_view name,
                              std::uint32_t record_id) {
    require_open();
    Node& d = node(dir_id);
    if (d.info.type != kTypeDirectory || d.frozen) throw std::invalid_argument("dsb: not a live directory");
    if (name.size() > dirent::kNameLen) throw std::length_error("dsb: entry name longer than 128 bytes");
    append_entry(d, {type, block_id, record_id, std::string(name)});
}

std::vector<std::uint8_t> ImageBuilder::directory_bytes(std::uint32_t dir_id) const {
    const Node& d = node(dir_id);
    if (d.info.type != kTypeDirectory) throw std::invalid_argument("dsb: not a directory");
    std::vector<std::uint8_t> out;
    out.reserve(d.entries.size() * kDirentSize);
    for (const Entry& e : d.entries) {
        if (e.gone) continue;
        auto rec = encode_dirent(e.type, e.block_id, e.record_id, e.name);
        out.insert(out.end(), rec.begin(), rec.end());
    }
    return out;
}

void ImageBuilder::write_object(Node& n, const FileSpec& spec) {
    DescriptorFields d;
    d.id = n.info.id;
    d.type = n.info.type;
    d.create_time = n.info.create_time;
    d.update_time = n.info.update_time;
    d.atime = n.info.atime;
    n.info.size = spec.size;
    store(n.info, spec, d);
    if (spec.addr_mode) d.addr_mode = *spec.addr_mode;
    n.info.addr_mode = d.addr_mode;
    write_descriptor(n.info.id, d);
}

void ImageBuilder::flush_directory(Node& n) {
    std::vector<std::uint8_t> bytes = directory_bytes(n.info.id);
    FileSpec spec;
    spec.size = bytes.size();
    spec.type = kTypeDirectory;
    spec.storage = n.requested;
    spec.content = bytes_content(bytes);
    n.info.content = spec.content;
    write_object(n, spec);
    n.frozen = true;
}

void ImageBuilder::store(ObjectInfo& obj, const FileSpec& spec, DescriptorFields& d) {
    const std::uint64_t bs = opt_.block_size;
    const std::uint64_t sbs = opt_.sbc.item_size;
    const bool dir = spec.type == kTypeDirectory;
    Storage s = spec.storage;
    if (s == Storage::Auto) {
        if (!spec.file_blocks.empty())
            s = spec.file_blocks.size() <= kBlockSlots ? Storage::FileBlocks : Storage::PointerBlocks;
        else if (!spec.sub_blocks.empty()) s = Storage::SubBlocks;
        else if (!dir && spec.size <= kInlineMax) s = Storage::Inline;
        else if (spec.size < bs && ceil_div(spec.size, sbs) <= kBlockSlots) s = Storage::SubBlocks;
        else if (ceil_div(spec.size, bs) <= kBlockSlots) s = Storage::FileBlocks;
        else s = Storage::PointerBlocks;
    }
    obj.storage = s;
    d.size = static_cast<std::int64_t>(spec.size);
    switch (s) {
    case Storage::Inline: store_inline(obj, d); break;
    case Storage::SubBlocks: store_subblocks(obj, spec, d); break;
    case Storage::FileBlocks: store_fileblocks(obj, spec, d); break;
    case Storage::PointerBlocks: store_pointerblocks(obj, spec, d); break;
    case Storage::Auto: break;
    }
}

void ImageBuilder::store_inline(ObjectInfo& obj, DescriptorFields& d) {
    if (obj.size > kInlineMax) throw std::invalid_argument("dsb: inline content holds at most 1024 bytes");
    std::array<std::uint8_t, kInlineMax> data{};
    obj.content(0, std::span<std::uint8_t>(data).first(static_cast<std::size_t>(obj.size)));
    d.inline_data = data;
    d.addr_mode = kAddrInline;
    d.block_size = static_cast<std::int64_t>(opt_.block_size);
    d.block_count = 0;
    obj.unit = 0;
}

void ImageBuilder::store_subblocks(ObjectInfo& obj, const FileSpec& spec, DescriptorFields& d) {
    const std::uint64_t sz = opt_.sbc.item_size;
    const std::uint64_t count = ceil_div(spec.size, sz);
    if (count > kBlockSlots) throw std::invalid_argument("dsb: file too large for 256 sub-blocks");
    if (!spec.sub_blocks.empty() && spec.sub_blocks.size() != count)
        throw std::invalid_argument("dsb: sub_blocks must name one sub-block per " + std::to_string(sz) + " bytes");
    BitmapState& st = state(SysFile::Sbc);
    std::vector<std::uint8_t> buf(sz);
    for (std::uint64_t i = 0; i < count; ++i) {
        std::uint32_t id;
        bool fresh = true;
        if (!spec.sub_blocks.empty()) {
            id = spec.sub_blocks[i];
            if (blk_kind(id) != BlockKind::Sub) throw std::invalid_argument("dsb: sub_blocks holds a non-sub-block id");
            fresh = st.slot(bitmap_index(id)) == BitmapState::Slot::Unused;
            st.claim(bitmap_index(id));
        } else {
            id = id_for(SysFile::Sbc, st.allocate());
        }
        std::fill(buf.begin(), buf.end(), std::uint8_t{0});
        const std::uint64_t len = std::min(sz, spec.size - i * sz);
        spec.content(i * sz, std::span<std::uint8_t>(buf).first(static_cast<std::size_t>(len)));
        // A never-used item of a new image reads as zeros already: its tail
        // is not written, so that the image stays sparse.
        vol_->write(item_lv_offset(id), fresh ? std::span<const std::uint8_t>(buf).first(static_cast<std::size_t>(len)) : std::span<const std::uint8_t>(buf));
        d.blocks[i] = id;
        obj.data_ids.push_back(id);
    }
    d.addr_mode = kAddrSubBlocks;
    d.block_size = static_cast<std::int64_t>(sz);
    d.block_count = static_cast<std::int64_t>(count);
    obj.unit = sz;
}

std::uint32_t ImageBuilder::put_file_block(const FileSpec& spec, std::uint64_t index, std::span<std::uint8_t> buf) {
    const std::uint64_t bs = opt_.block_size;
    std::fill(buf.begin(), buf.end(), std::uint8_t{0});
    const std::uint64_t len = std::min(bs, spec.size - index * bs);
    spec.content(index * bs, buf.first(static_cast<std::size_t>(len)));
    if (spec.thin && all_zero(buf)) return 0;
    BitmapState& st = state(SysFile::Fbb);
    std::uint64_t n;
    bool fresh;
    if (!spec.file_blocks.empty()) {
        n = spec.file_blocks[index];
        fresh = st.slot(n) == BitmapState::Slot::Unused;
        st.claim(n);
    } else {
        n = st.allocate();
        fresh = true;
    }
    write_block_data(static_cast<std::uint32_t>(n), buf, fresh);
    return fb_build(static_cast<std::uint32_t>(n));
}

void ImageBuilder::write_block_data(std::uint32_t number, std::span<const std::uint8_t> data, bool fresh) {
    const std::uint64_t base = std::uint64_t{number} * opt_.block_size;
    if (!fresh) {
        vol_->write(base, data);
        return;
    }
    // A never-used block of a new image reads as zeros already: write only the
    // runs of 64 KiB pieces that hold something, to keep the image sparse.
    constexpr std::size_t kPiece = 64 * 1024;
    std::size_t run_start = 0;
    bool in_run = false;
    for (std::size_t at = 0; at <= data.size(); at += kPiece) {
        const bool zero = at == data.size() || all_zero(data.subspan(at, std::min(kPiece, data.size() - at)));
        if (!zero && !in_run) {
            run_start = at;
            in_run = true;
        } else if (zero && in_run) {
            vol_->write(base + run_start, data.subspan(run_start, std::min(at, data.size()) - run_start));
            in_run = false;
        }
        if (at == data.size()) break;
    }
    if (in_run) vol_->write(base + run_start, data.subspan(run_start));
}

void ImageBuilder::store_fileblocks(ObjectInfo& obj, const FileSpec& spec, DescriptorFields& d) {
    const std::uint64_t bs = opt_.block_size;
    const std::uint64_t count = ceil_div(spec.size, bs);
    if (count > kBlockSlots) throw std::invalid_argument("dsb: file too large for 256 direct blocks");
    if (!spec.file_blocks.empty() && spec.file_blocks.size() != count)
        throw std::invalid_argument("dsb: file_blocks must name one block per file block");
    std::vector<std::uint8_t> buf(bs);
    std::int64_t used = 0;
    for (std::uint64_t i = 0; i < count; ++i) {
        d.blocks[i] = put_file_block(spec, i, buf);
        obj.data_ids.push_back(d.blocks[i]);
        used += d.blocks[i] != 0;
    }
    d.addr_mode = kAddrFileBlocks;
    d.block_size = static_cast<std::int64_t>(bs);
    d.block_count = used;
    obj.unit = bs;
}

void ImageBuilder::store_pointerblocks(ObjectInfo& obj, const FileSpec& spec, DescriptorFields& d) {
    const std::uint64_t bs = opt_.block_size;
    const std::uint64_t per = opt_.pbc.item_size / 4;
    const std::uint64_t count = ceil_div(spec.size, bs);
    const std::uint64_t slots = ceil_div(count, per);
    if (slots > kBlockSlots) throw std::invalid_argument("dsb: file too large for 256 pointer blocks");
    if (!spec.file_blocks.empty() && spec.file_blocks.size() != count)
        throw std::invalid_argument("dsb: file_blocks must name one block per file block");
    std::vector<std::uint8_t> buf(bs);
    std::vector<std::uint8_t> pointer(opt_.pbc.item_size);
    std::int64_t used = 0;
    for (std::uint64_t s = 0; s < slots; ++s) {
        std::fill(pointer.begin(), pointer.end(), std::uint8_t{0});
        bool any = false;
        for (std::uint64_t r = 0; r < per && s * per + r < count; ++r) {
            const std::uint32_t id = put_file_block(spec, s * per + r, buf);
            put_le<std::uint32_t>(pointer, 4 * r, id);
            obj.data_ids.push_back(id);
            any = any || id != 0;
            used += id != 0;
        }
        std::uint32_t pb = 0;
        if (any || !spec.thin) {
            pb = id_for(SysFile::Pbc, state(SysFile::Pbc).allocate());
            vol_->write(item_lv_offset(pb), pointer);
        }
        d.blocks[s] = pb;
        obj.pointer_ids.push_back(pb);
    }
    d.addr_mode = kAddrPointerBlocks;
    d.block_size = static_cast<std::int64_t>(bs);
    d.block_count = used;
    obj.unit = bs;
}

void ImageBuilder::write_descriptor(std::uint32_t slot_id, const DescriptorFields& fields) {
    if (blk_kind(slot_id) != BlockKind::Descriptor) throw std::invalid_argument("dsb: not a descriptor id");
    vol_->write(item_lv_offset(slot_id), encode_descriptor(fields));
}

void ImageBuilder::free_storage(const ObjectInfo& obj) {
    for (std::uint32_t id : obj.data_ids)
        if (id != 0) state(file_of(id)).release(bitmap_index(id));
    for (std::uint32_t id : obj.pointer_ids)
        if (id != 0) state(SysFile::Pbc).release(bitmap_index(id));
}

void ImageBuilder::remove(std::string_view path, RemoveOptions options) {
    require_open();
    const std::uint32_t id = lookup(path);
    Node& n = node(id);
    if (id == root() || n.info.type == kTypeSystem) throw std::invalid_argument("dsb: the root and system files stay");
    remove_node(n, options, true);
}

void ImageBuilder::remove_node(Node& n, const RemoveOptions& o, bool top) {
    if (n.info.type == kTypeDirectory) {
        if (o.recursive) {
            RemoveOptions inner = o;
            inner.remove_dirent = false; // the freed directory keeps naming them
            for (std::size_t i = 2; i < n.entries.size(); ++i) {
                if (n.entries[i].gone) continue;
                auto it = nodes_.find(n.entries[i].block_id);
                if (it != nodes_.end() && !it->second.info.deleted && it->second.info.parent == n.info.id)
                    remove_node(it->second, inner, false);
            }
        }
        if (!n.frozen) flush_directory(n);
    }
    state(SysFile::Fdc).release(bitmap_index(n.info.id));
    if (o.free_storage) free_storage(n.info);
    n.info.deleted = true;
    forget_paths(n.info.path);
    if (top && o.remove_dirent) erase_entry(node(n.info.parent), n.info.id);
}

void ImageBuilder::forget_paths(const std::string& path) {
    paths_.erase(path);
    // Every path below lies in [path + "/", path + "0"): '0' follows '/'.
    paths_.erase(paths_.lower_bound(path + '/'), paths_.lower_bound(path + '0'));
}

void ImageBuilder::append_entry(Node& dir, Entry e) {
    if (dir.indexed && dir.entries.size() >= 2) dir.positions[e.block_id].at.push_back(dir.entries.size());
    dir.entries.push_back(std::move(e));
}

// Takes out the first live entry after "." and ".." that names block_id.
void ImageBuilder::erase_entry(Node& dir, std::uint32_t block_id) {
    if (!dir.indexed) {
        for (std::size_t i = 2; i < dir.entries.size(); ++i)
            if (!dir.entries[i].gone) dir.positions[dir.entries[i].block_id].at.push_back(i);
        dir.indexed = true;
    }
    auto it = dir.positions.find(block_id);
    if (it == dir.positions.end()) return;
    Positions& where = it->second;
    dir.entries[where.at[where.next++]].gone = true;
    if (where.next == where.at.size()) dir.positions.erase(it);
}

std::uint32_t ImageBuilder::unused(SysFile f) { return id_for(f, state(f).take_unused()); }

void ImageBuilder::set_free(std::uint32_t block_id, bool free) {
    SysFile f = file_of(block_id);
    const std::uint64_t n = bitmap_index(block_id);
    BitmapState& st = state(f);
    if (free) st.release(n);
    else if (st.is_free(n)) st.claim(n);
    if (finished_) write_bitmap_entry(f, static_cast<std::uint32_t>(n / geometry(f).items_per_entry));
}

void ImageBuilder::set_entry_free_count(SysFile f, std::uint32_t entry, std::uint32_t value) {
    state(f).set_free_count(entry, value);
    if (finished_) write_bitmap_entry(f, entry);
}

void ImageBuilder::write_item(std::uint32_t block_id, std::uint64_t offset, std::span<const std::uint8_t> bytes) {
    if (offset > item_size(block_id) || bytes.size() > item_size(block_id) - offset)
        throw std::out_of_range("dsb: write runs past the item");
    vol_->write(item_lv_offset(block_id) + offset, bytes);
}

void ImageBuilder::write_lv(std::uint64_t lv_offset, std::span<const std::uint8_t> bytes) {
    vol_->write(lv_offset, bytes);
}

void ImageBuilder::write_file_bytes(std::uint32_t file_id, std::uint64_t offset, std::span<const std::uint8_t> bytes) {
    const ObjectInfo& obj = info(file_id);
    if (obj.storage == Storage::Inline) {
        if (offset > kInlineMax || bytes.size() > kInlineMax - offset)
            throw std::out_of_range("dsb: inline content holds 1024 bytes");
        vol_->write(item_lv_offset(file_id) + fd::kBlocks + offset, bytes);
        return;
    }
    while (!bytes.empty()) {
        const std::uint64_t idx = offset / obj.unit;
        if (idx >= obj.data_ids.size() || obj.data_ids[idx] == 0)
            throw std::out_of_range("dsb: file offset " + std::to_string(offset) + " has no block");
        const std::uint64_t within = offset % obj.unit;
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(obj.unit - within, bytes.size()));
        write_item(obj.data_ids[idx], within, bytes.first(n));
        bytes = bytes.subspan(n);
        offset += n;
    }
}

void ImageBuilder::write_bitmap_entry(SysFile f, std::uint32_t entry) {
    vol_->write(sys_lv(f, geometry(f).entry_pos(entry)), state(f).entry_bytes(entry));
}

void ImageBuilder::write_bitmaps() {
    for (SysFile f : kAllSys) {
        const BitmapGeometry& g = geometry(f);
        const BitmapState& st = state(f);
        vol_->write(sys_lv(f, 0), st.header_bytes());
        // One write per area: its entries are contiguous.
        std::vector<std::uint8_t> area(std::size_t{g.entries_per_area} * kBitmapEntrySize);
        for (std::uint32_t a = 0; a < g.area_count; ++a) {
            for (std::uint32_t j = 0; j < g.entries_per_area; ++j) {
                auto e = st.entry_bytes(a * g.entries_per_area + j);
                std::copy(e.begin(), e.end(), area.begin() + std::size_t{j} * kBitmapEntrySize);
            }
            vol_->write(sys_lv(f, g.entry_pos(a * g.entries_per_area)), area);
        }
    }
}

void ImageBuilder::finish() {
    require_open();
    for (auto& [id, n] : nodes_)
        if (n.info.type == kTypeDirectory && !n.info.deleted && !n.frozen) flush_directory(n);
    write_bitmaps();
    finished_ = true;
}

} // namespace dsb
