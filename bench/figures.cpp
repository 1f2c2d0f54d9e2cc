#include "vmfs/store.h"
#include "figures.h"

#include "measure.h"

#include "disk/sector_source.h"
#include "recovery/deleted_files.h"
#include "recovery/formatted_dirs.h"
#include "recovery/lost_vmdks.h"
#include "vmfs/blockid.h"
#include "export/chunk_digest.h"
#include "export/file_export.h"
#include "vmfs/file_read.h"
#include "vmfs/datastore.h"
#include "vmfs/inode.h"
#include "vmfs/listing.h"
#include "vmfs/volume.h"
#include "text/messages.h"

#ifdef DATUMSIFT_BENCH_MOUNT
#include "mount/mount_fs.h"
#include "mount/mount_source.h"
#include <fcntl.h>
#include <thread>
#include <unistd.h>
#endif

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace dsbench {
namespace {

constexpr double kMiBf = 1048576.0;

std::string printf_text(const char* format, double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, format, v);
    return buf;
}
std::string secs(double s) { return printf_text("%.3f s", s); }
std::string mib(double bytes) { return printf_text("%.1f MiB", bytes / kMiBf); }
std::string rate(double bytes, double s) { return printf_text("%.0f MiB/s", s > 0 ? bytes / kMiBf / s : 0.0); }
std::string ratio(double a, double b) { return printf_text("%.2f", b > 0 ? a / b : 0.0); }
std::string rss(double m) { return printf_text("%.1f MiB", m); }
std::string whole(double v) { return printf_text("%.0f", v); }

double num(const Fields& f, const std::string& key) {
    auto it = f.find(key);
    return it == f.end() ? 0.0 : std::stod(it->second);
}

// Joins the volume through the counting source and opens the file system.
std::unique_ptr<ds::Datastore> open_volume(const Volume& v, CountingSource& counter) {
    auto held = std::make_unique<ds::Datastore>(counter);
    ds::Datastore& store = *held;
    for (const std::string& image : v.images) {
        ds::AddDiskRefusal why = ds::AddDiskRefusal::none;
        if (ds::add_disk(store, image, v.start_sector, &why) != 0)
            throw std::runtime_error(image + ": " + ds::add_disk_message(why));
    }
    ds::OpenOutcome open = ds::fs_open(store);
    if (open.failure != ds::OpenFailure::none || !open.completed)
        throw std::runtime_error(std::string("opening failed: ") + ds::open_message(open.failure));
    return held;
}

// Starts the measured part from an empty reader cache and zero counts; the
// page cache of the host stays warm.
void start_counting(ds::Datastore& store, CountingSource& counter) {
    ds::internals(store).disk.reset();
    counter.clear();
}

Fields measured(const Timing& t, const CountingSource& c, Fields extra = {}) {
    extra["seconds"] = printf_text("%.9f", t.wall);
    extra["cpu"] = printf_text("%.9f", t.cpu);
    extra["bytes"] = whole(static_cast<double>(c.bytes));
    extra["reads"] = whole(static_cast<double>(c.reads));
    extra["distinct"] = whole(static_cast<double>(c.distinct_bytes()));
    return extra;
}

// Best (shortest) of several runs, each in a child of its own so that no
// cache of one run helps the next; the peak resident size is the largest.
struct Best {
    bool ok = true;
    std::string error;
    Fields fields;   // of the fastest run
    double seconds = std::numeric_limits<double>::infinity();
    double cpu = std::numeric_limits<double>::infinity();
    double peak_rss_mib = 0;

    void add(const ChildOutcome& c) {
        peak_rss_mib = std::max(peak_rss_mib, c.peak_rss_mib);
        if (!c.ok) {
            if (ok) error = c.error;
            ok = false;
            return;
        }
        cpu = std::min(cpu, num(c.fields, "cpu"));
        if (double s = num(c.fields, "seconds"); s < seconds) {
            seconds = s;
            fields = c.fields;
        }
    }
    std::string time_text() const { return secs(seconds) + " (CPU " + secs(cpu) + ")"; }
    std::string read_text() const {
        return "read from disk " + mib(num(fields, "bytes")) + " in " + whole(num(fields, "reads")) + " reads";
    }
    // For the scans: the bytes read against the distinct bytes among them,
    // which is what the scan needs at the least.
    std::string distinct_text() const {
        const double bytes = num(fields, "bytes"), distinct = num(fields, "distinct");
        return "read " + mib(bytes) + " in " + whole(num(fields, "reads")) + " reads, distinct " + mib(distinct) +
               ", read/distinct " + ratio(bytes, distinct);
    }
};

Best best_of(int runs, const std::function<Fields()>& body) {
    Best b;
    for (int i = 0; i < runs; ++i) b.add(run_child(body));
    return b;
}


// dd of the file's extents into out, in file order, 1 MiB blocks.
DdRun dd_copy(const FileCase& f, const std::string& out) {
    DdRun r;
    uint64_t out_offset = 0;
    Stopwatch sw;
    for (const Extent& e : f.extents) {
        // fsync as the export does: both sides are timed until the bytes
        // are on the host's disk.
        ProcessOutcome p = run_process({"dd", "if=" + e.image, "of=" + out, "bs=1M",
                                        "skip=" + std::to_string(e.image_offset), "seek=" + std::to_string(out_offset),
                                        "count=" + std::to_string(e.length), "iflag=skip_bytes,count_bytes",
                                        "oflag=seek_bytes", "conv=notrunc,fsync", "status=none"});
        r.peak_rss_mib = std::max(r.peak_rss_mib, p.peak_rss_mib);
        r.t.cpu += p.cpu_seconds;
        if (!p.ok) return r;
        out_offset += e.length;
    }
    r.t.wall = sw.elapsed().wall;
    r.ok = true;
    return r;
}

Fields export_file(const FileCase& f, const std::string& out, bool sha256 = false) {
    CountingSource counter;
    const std::unique_ptr<ds::Datastore> held = open_volume(f.volume, counter);
    ds::Datastore& store = *held;
    ds::File file;
    if (!store.open_file(ds::Node{f.id, -1}, file)) throw std::runtime_error("descriptor unreadable");
    int64_t calls = 0;
    start_counting(store, counter);
    Stopwatch sw;
    ds::ExportOptions options;
    options.sha256 = sha256;
    ds::ExportResult r = ds::file_export(store, file, out,
        [&](int64_t, int64_t) {
            ++calls;
            return true;
        },
        options);
    const Timing t = sw.elapsed();
    if (r.failure != ds::ExportFailure::none || r.bytes_written != static_cast<int64_t>(f.size))
        throw std::runtime_error("export failed after " + std::to_string(r.bytes_written) + " bytes");
    return measured(t, counter, {{"progress_calls", whole(static_cast<double>(calls))}, {"sha256", r.sha256}});
}

// SHA-256 of the file's bytes as its extents hold them, holes as zeros.
std::string extents_sha256(const std::vector<Extent>& extents) {
    ds::ChunkDigest digest(false);
    std::vector<char> buf(1 << 20);
    for (const Extent& e : extents) {
        std::ifstream in;
        if (!e.image.empty()) {
            in.open(e.image, std::ios::binary);
            in.seekg(static_cast<std::streamoff>(e.image_offset));
        }
        for (uint64_t done = 0; done < e.length;) {
            const auto n = static_cast<std::streamsize>(std::min<uint64_t>(buf.size(), e.length - done));
            if (e.image.empty())
                std::fill_n(buf.begin(), n, 0);
            else if (!in.read(buf.data(), n))
                throw std::runtime_error("cannot read " + e.image);
            digest.add(reinterpret_cast<const uint8_t*>(buf.data()), n);
            done += static_cast<uint64_t>(n);
        }
    }
    return digest.finish();
}

// The program's own cost per byte with no disk in the way: the export to
// /dev/null against dd of the same bytes to /dev/null, taken in turns. One
// more export, with its digest, checks that the bytes were the file's.
bool figure_null(int number, const char* what, const FileCase& f, const RunOptions& o, std::ostream& out) {
    std::cerr << "figure " << number << ": export to /dev/null vs dd to /dev/null..." << std::endl;
    Best ours;
    double dd_wall = std::numeric_limits<double>::infinity(), dd_cpu = dd_wall;
    bool dd_ok = true;
    for (int i = 0; i < o.null_runs; ++i) {
        DdRun dd = dd_to_null(f.extents);
        dd_ok = dd_ok && dd.ok;
        dd_wall = std::min(dd_wall, dd.t.wall);
        dd_cpu = std::min(dd_cpu, dd.t.cpu);
        ours.add(run_child([&] { return export_file(f, "/dev/null"); }));
    }
    ChildOutcome hashed = run_child([&] { return export_file(f, "/dev/null", true); });
    ChildOutcome want = run_child([&] { return Fields{{"sha256", extents_sha256(f.extents)}}; });
    const bool same = hashed.ok && want.ok && !want.fields["sha256"].empty() &&
                      hashed.fields["sha256"] == want.fields["sha256"];

    const double bytes = static_cast<double>(f.size);
    out << "[" << number << "] export to /dev/null of a " << mib(bytes) << " " << what << " (" << f.layout
        << "), against dd bs=1M to /dev/null of its bytes in the image: ";
    if (!ours.ok || !dd_ok) {
        out << "FAILED: " << (ours.ok ? "dd failed" : ours.error) << std::endl;
        return false;
    }
    out << "datumsift " << ours.time_text() << " " << rate(bytes, ours.seconds) << ", dd " << secs(dd_wall)
        << " (CPU " << secs(dd_cpu) << "), ratio " << ratio(ours.seconds, dd_wall) << " (CPU "
        << ratio(ours.cpu, dd_cpu) << "), best of " << o.null_runs << " | " << ours.read_text()
        << " | digest of the bytes written is the image's: " << (same ? "yes" : "NO") << std::endl;
    return same;
}

bool figure_export(int number, const char* what, const FileCase& f, const RunOptions& o, std::ostream& out) {
    const std::string exported = o.work_dir + "/export-" + std::to_string(number) + ".out";
    const std::string copied = o.work_dir + "/dd-" + std::to_string(number) + ".out";
    std::cerr << "figure " << number << ": export vs dd..." << std::endl;
    // One output at a time and nothing dirty when a timed run starts: both
    // sides then write into the same clean page cache.
    auto clear = [&] {
        std::filesystem::remove(exported);
        std::filesystem::remove(copied);
        write_back_dirty_pages();
    };
    Best ours;
    double dd_wall = std::numeric_limits<double>::infinity(), dd_cpu = dd_wall, dd_rss = 0;
    bool dd_ok = true, same = true;
    for (int i = 0; i < o.runs; ++i) {
        clear();
        DdRun dd = dd_copy(f, copied);
        dd_ok = dd_ok && dd.ok;
        dd_wall = std::min(dd_wall, dd.t.wall);
        dd_cpu = std::min(dd_cpu, dd.t.cpu);
        dd_rss = std::max(dd_rss, dd.peak_rss_mib);
        clear();
        ChildOutcome run = run_child([&] { return export_file(f, exported); });
        ours.add(run);
        if (run.ok) {
            ChildOutcome cmp = run_child(
                [&] { return Fields{{"same", file_matches_extents(exported, f.extents) ? "1" : "0"}}; });
            same = same && cmp.ok && cmp.fields["same"] == "1";
        }
    }
    clear();

    const double bytes = static_cast<double>(f.size);
    out << "[" << number << "] export of a " << mib(bytes) << " " << what << " (" << f.layout << ", "
        << f.extents.size() << (f.extents.size() == 1 ? " extent" : " extents") << "): ";
    if (!ours.ok || !dd_ok) {
        out << "FAILED: " << (ours.ok ? "dd failed" : ours.error) << std::endl;
        return false;
    }
    out << "datumsift " << ours.time_text() << " " << rate(bytes, ours.seconds) << ", dd " << secs(dd_wall)
        << " (CPU " << secs(dd_cpu) << ") " << rate(bytes, dd_wall) << ", ratio " << ratio(ours.seconds, dd_wall)
        << " (CPU " << ratio(ours.cpu, dd_cpu) << ") | " << ours.read_text() << " | peak RSS "
        << rss(ours.peak_rss_mib) << ", dd " << rss(dd_rss) << " | same bytes as dd copies: " << (same ? "yes" : "NO")
        << std::endl;
    return same;
}

Fields deleted_scan(const Volume& v) {
    CountingSource counter;
    const std::unique_ptr<ds::Datastore> held = open_volume(v, counter);
    ds::Datastore& store = *held;
    int64_t rows = 0;
    start_counting(store, counter);
    Stopwatch sw;
    ds::ScanEnd end = ds::scan_deleted_files(store, [](int) { return true; }, [&](const ds::FileRow&) { ++rows; }).end;
    const Timing t = sw.elapsed();
    if (end != ds::ScanEnd::finished) throw std::runtime_error(std::string("scan ended: ") + ds::scan_end_message(end));
    return measured(t, counter, {{"rows", whole(static_cast<double>(rows))}});
}

Fields lost_disk_scan(const Volume& v) {
    CountingSource counter;
    const std::unique_ptr<ds::Datastore> held = open_volume(v, counter);
    ds::Datastore& store = *held;
    int64_t rows = 0;
    start_counting(store, counter);
    Stopwatch sw;
    ds::ScanEnd end =
        ds::scan_lost_vmdks(store, [](int) { return true; }, [&](const ds::PartitionRow&) { ++rows; }).end;
    const Timing t = sw.elapsed();
    if (end != ds::ScanEnd::finished) throw std::runtime_error(std::string("scan ended: ") + ds::scan_end_message(end));
    return measured(t, counter, {{"rows", whole(static_cast<double>(rows))}});
}

// The virtual-disk scan gathering candidates, then the rebuild of its rows,
// with the bytes each part read.
Fields lost_scan_and_rebuild(const Volume& v) {
    CountingSource counter;
    const std::unique_ptr<ds::Datastore> held = open_volume(v, counter);
    ds::Datastore& store = *held;
    std::vector<ds::PointerBlockCandidate> candidates;
    start_counting(store, counter);
    Stopwatch sw;
    const ds::ScanResult<ds::PartitionRow> scan = store.scan_lost_disks({}, {}, candidates);
    const Timing scan_t = sw.elapsed();
    if (scan.end != ds::ScanEnd::finished)
        throw std::runtime_error(std::string("scan ended: ") + ds::scan_end_message(scan.end));
    const int64_t scan_bytes = counter.bytes, scan_reads = counter.reads;
    int64_t placed = 0, positions = 0;
    for (const ds::RebuiltDisk& d : store.rebuild_lost_disks(scan.rows, candidates)) {
        placed += d.placed();
        positions += static_cast<int64_t>(d.pieces.size());
    }
    const Timing t = sw.elapsed();
    return measured(t, counter,
                    {{"rows", whole(static_cast<double>(scan.rows.size()))},
                     {"candidates", whole(static_cast<double>(candidates.size()))},
                     {"placed", whole(static_cast<double>(placed))},
                     {"positions", whole(static_cast<double>(positions))},
                     {"scan_seconds", printf_text("%.9f", scan_t.wall)},
                     {"scan_cpu", printf_text("%.9f", scan_t.cpu)},
                     {"scan_bytes", whole(static_cast<double>(scan_bytes))},
                     {"scan_reads", whole(static_cast<double>(scan_reads))}});
}

// One sequential read of a bitmap system file (".fdc.sf" or ".pbc.sf") through
// the reader, 1 MiB at a time: what its scan costs at the least.
Fields system_file_read(const Volume& v, bool pbc) {
    CountingSource counter;
    const std::unique_ptr<ds::Datastore> held = open_volume(v, counter);
    ds::Datastore& store = *held;
    const ds::Descriptor inode = pbc ? ds::internals(store).fs.pbc.inode : ds::internals(store).fs.fdc.inode;
    std::vector<uint8_t> buf(1 << 20);
    start_counting(store, counter);
    Stopwatch sw;
    int64_t p = 0;
    while (p < inode.size) {
        int64_t n = ds::file_read(store, inode, buf.data(), std::min<int64_t>(inode.size - p, 1 << 20), p);
        if (n <= 0) throw std::runtime_error(std::string(pbc ? ".pbc.sf" : ".fdc.sf") + " read failed at " + std::to_string(p));
        p += n;
    }
    const Timing t = sw.elapsed();
    return measured(t, counter, {{"size", whole(static_cast<double>(inode.size))}});
}

// A scan against one sequential read of the system file it walks, taken in
// turns, with the bytes each read.
void scan_line(const std::string& what, const Best& scan, const Best& read, std::ostream& out) {
    const double size = num(read.fields, "size");
    out << what << " (" << mib(size) << "): scan " << scan.time_text() << ", one sequential read " << read.time_text()
        << " " << rate(size, read.seconds) << ", ratio " << ratio(scan.seconds, read.seconds) << " (CPU "
        << ratio(scan.cpu, read.cpu) << ") | rows " << whole(num(scan.fields, "rows")) << " | scan "
        << scan.distinct_text() << "; sequential " << read.read_text() << " | peak RSS scan "
        << rss(scan.peak_rss_mib) << ", read " << rss(read.peak_rss_mib);
}

} // namespace

bool measure_lost(const std::string& image, int runs, std::ostream& out) {
    const Best b = best_of(runs, [&] { return lost_scan_and_rebuild(Volume{{image}}); });
    out << "lost-disk scan of " << image;
    if (!b.ok) {
        out << ": FAILED: " << b.error << std::endl;
        return false;
    }
    const Fields& f = b.fields;
    out << ": " << whole(num(f, "candidates")) << " candidate pointer blocks, " << whole(num(f, "rows"))
        << " rows | scan " << secs(num(f, "scan_seconds")) << " (CPU " << secs(num(f, "scan_cpu")) << "), read "
        << mib(num(f, "scan_bytes")) << " in " << whole(num(f, "scan_reads")) << " reads | scan and rebuild "
        << b.time_text() << ", " << b.distinct_text() << " | placed " << whole(num(f, "placed")) << " of "
        << whole(num(f, "positions")) << " positions | peak RSS " << rss(b.peak_rss_mib) << std::endl;
    return true;
}

namespace {

bool figure_deleted(const Manifest& m, const RunOptions& o, std::ostream& out) {
    std::cerr << "figure 3: deleted-file and virtual-disk scans vs sequential reads of .fdc.sf and .pbc.sf..."
              << std::endl;
    Best scan, read, lost, pbc_read;
    for (int i = 0; i < o.runs; ++i) {
        scan.add(run_child([&] { return deleted_scan(m.bench); }));
        read.add(run_child([&] { return system_file_read(m.bench, false); }));
        lost.add(run_child([&] { return lost_disk_scan(m.bench); }));
        pbc_read.add(run_child([&] { return system_file_read(m.bench, true); }));
    }
    out << "[3] deleted-file scan over .fdc.sf of " << m.fdc_slots << " slots";
    if (!scan.ok || !read.ok) {
        out << ": FAILED: " << (scan.ok ? read.error : scan.error) << std::endl;
        return false;
    }
    scan_line("", scan, read, out);
    // Every deleted file the builder left must be listed, or the scan was
    // fast for the wrong reason.
    const bool all_rows = num(scan.fields, "rows") == static_cast<double>(m.deleted_files);
    if (!all_rows) out << " | ROWS DIFFER: " << m.deleted_files << " deleted files were left";
    out << std::endl;
    out << "[3] virtual-disk scan over .pbc.sf of the same datastore";
    if (!lost.ok || !pbc_read.ok) {
        out << ": FAILED: " << (lost.ok ? pbc_read.error : lost.error) << std::endl;
        return false;
    }
    scan_line("", lost, pbc_read, out);
    out << std::endl;
    return all_rows;
}

Fields format_scan(const Volume& v) {
    CountingSource counter;
    const std::unique_ptr<ds::Datastore> held = open_volume(v, counter);
    ds::Datastore& store = *held;
    FoundDigest digest;
    int64_t found = 0;
    start_counting(store, counter);
    Stopwatch sw;
    ds::ScanEnd end = ds::scan_formatted_dirs(store, [](int) { return true; }, [&](const ds::FoundDir& d) {
                          digest.add(d.number, d.dir_id, d.first_block);
                          ++found;
                      }).end;
    const Timing t = sw.elapsed();
    if (end != ds::ScanEnd::finished) throw std::runtime_error(std::string("scan ended: ") + ds::scan_end_message(end));
    return measured(t, counter, {{"found", whole(static_cast<double>(found))}, {"digest", std::to_string(digest.value())}});
}

// Where the bytes of .sbc.sf ("sbc") and .fdc.sf ("fdc") lie in the images,
// as "image<TAB>offset<TAB>length" lines.
Fields system_file_extents(const Volume& v) {
    CountingSource counter;
    const std::unique_ptr<ds::Datastore> held = open_volume(v, counter);
    ds::Datastore& store = *held;
    Fields out;
    for (const char* name : {"sbc", "fdc"}) {
        const ds::Descriptor* inode =
            name[0] == 's' ? &ds::internals(store).fs.sbc.inode : &ds::internals(store).fs.fdc.inode;
        std::vector<Extent> extents;
        for (int64_t p = 0; p < inode->size; p += inode->block_size) {
            uint32_t id = 0;
            ds::LvmPlace at;
            if (ds::file_block_lookup(store, *inode, p, &id) != 0 || ds::blkid_type(id) != ds::kBlockFile ||
                !ds::lvm_locate(store, int64_t{ds::fb_item(id)} * ds::internals(store).fs.fsinfo.blocksize, at))
                throw std::runtime_error("a system file's block cannot be placed");
            append_extent(extents, Extent{at.member->device, static_cast<uint64_t>(at.device_offset),
                                          static_cast<uint64_t>(std::min(inode->block_size, inode->size - p))});
        }
        std::string text;
        for (const Extent& e : extents)
            text += e.image + "\t" + std::to_string(e.image_offset) + "\t" + std::to_string(e.length) + "\n";
        out[name] = text;
    }
    return out;
}

std::vector<Extent> parse_extents(const std::string& text) {
    std::vector<Extent> out;
    std::istringstream lines(text);
    std::string image, offset, length;
    while (std::getline(lines, image, '\t') && std::getline(lines, offset, '\t') && std::getline(lines, length))
        out.push_back(Extent{image, std::stoull(offset), std::stoull(length)});
    return out;
}

bool figure_format(const Manifest& m, const RunOptions& o, std::ostream& out) {
    std::cerr << "figure 4: format recovery (" << m.format_candidates << " candidates, " << m.format_free_subblocks
              << " free sub-blocks; may take long)..." << std::endl;
    // Against one dd read of .sbc.sf, and of the two system files the scan
    // goes through, taken in turns with the scan.
    ChildOutcome placed = run_child([&] { return system_file_extents(m.format); });
    const std::vector<Extent> sbc = placed.ok ? parse_extents(placed.fields["sbc"]) : std::vector<Extent>{};
    std::vector<Extent> both = sbc;
    if (placed.ok)
        for (const Extent& e : parse_extents(placed.fields["fdc"])) both.push_back(e);
    auto bytes_of = [](const std::vector<Extent>& list) {
        uint64_t n = 0;
        for (const Extent& e : list) n += e.length;
        return static_cast<double>(n);
    };
    Best scan;
    double sbc_wall = std::numeric_limits<double>::infinity(), both_wall = sbc_wall, both_cpu = sbc_wall;
    bool dd_ok = placed.ok;
    for (int i = 0; i < o.format_runs; ++i) {
        if (dd_ok) {
            DdRun one = dd_to_null(sbc);
            DdRun two = dd_to_null(both);
            dd_ok = one.ok && two.ok;
            sbc_wall = std::min(sbc_wall, one.t.wall);
            both_wall = std::min(both_wall, two.t.wall);
            both_cpu = std::min(both_cpu, two.t.cpu);
        }
        scan.add(run_child([&] { return format_scan(m.format); }));
    }
    out << "[4] format recovery, " << m.format_candidates << " candidate directories with reused first blocks, "
        << m.format_free_subblocks << " free sub-blocks: ";
    if (!scan.ok) {
        out << "FAILED: " << scan.error << std::endl;
        return false;
    }
    const bool as_built = num(scan.fields, "found") == static_cast<double>(m.format_found) &&
                          scan.fields["digest"] == std::to_string(m.format_digest);
    out << scan.time_text() << " | " << scan.distinct_text() << " | found " << whole(num(scan.fields, "found"))
        << " of " << m.format_found << ", as built: " << (as_built ? "yes" : "NO") << " | peak RSS "
        << rss(scan.peak_rss_mib);
    if (dd_ok)
        out << " | dd bs=1M of .sbc.sf (" << mib(bytes_of(sbc)) << ") " << secs(sbc_wall) << ", ratio "
            << ratio(scan.seconds, sbc_wall) << "; of .sbc.sf and .fdc.sf (" << mib(bytes_of(both)) << ") "
            << secs(both_wall) << " (CPU " << secs(both_cpu) << "), ratio " << ratio(scan.seconds, both_wall)
            << " (CPU " << ratio(scan.cpu, both_cpu) << ")";
    else
        out << " | dd of the system files FAILED: " << placed.error;
    out << std::endl;
    return as_built && dd_ok;
}

Fields list_big_dir(const Volume& v, uint32_t dir) {
    CountingSource counter;
    const std::unique_ptr<ds::Datastore> held = open_volume(v, counter);
    ds::Datastore& store = *held;
    start_counting(store, counter);
    Stopwatch sw;
    // Held whole, as a listing shown at once is.
    std::vector<ds::ListedEntry> entries;
    ds::DirLister lister = store.list(ds::Node{dir, -1});
    for (ds::ListedEntry e; lister.next(e);) entries.push_back(std::move(e));
    const Timing t = sw.elapsed();
    if (lister.status() != ds::ListStatus::complete) throw std::runtime_error("listing did not complete");
    return measured(t, counter, {{"entries", whole(static_cast<double>(entries.size()))}});
}

bool figure_listing(const Manifest& m, const RunOptions& o, std::ostream& out) {
    std::cerr << "figure 5: listing..." << std::endl;
    Best list = best_of(o.list_runs, [&] { return list_big_dir(m.bench, m.big_dir); });
    out << "[5] listing of a directory of " << m.big_dir_entries << " entries: ";
    if (!list.ok) {
        out << "FAILED: " << list.error << std::endl;
        return false;
    }
    const bool all = num(list.fields, "entries") == static_cast<double>(m.big_dir_entries);
    out << list.time_text() << " | " << list.read_text() << " | entries " << whole(num(list.fields, "entries"))
        << (all ? "" : " (WRONG)") << " | peak RSS " << rss(list.peak_rss_mib) << std::endl;
    return all;
}

std::string file_sha256(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    ds::ChunkDigest digest(false);
    std::vector<char> buf(1 << 20);
    while (in) {
        in.read(buf.data(), static_cast<std::streamsize>(buf.size()));
        digest.add(reinterpret_cast<const uint8_t*>(buf.data()), in.gcount());
    }
    return digest.finish();
}

// The same export with and without the SHA-256 of the written bytes, taken
// in turns; each digest is checked against one made afterwards from the host
// file in a plain single-threaded pass.
bool figure_hash(const FileCase& f, const RunOptions& o, std::ostream& out) {
    const std::string exported = o.work_dir + "/export-6.out";
    std::cerr << "figure 6: export with --hash vs without..." << std::endl;
    auto clear = [&] {
        std::filesystem::remove(exported);
        write_back_dirty_pages();
    };
    Best plain, hashed;
    bool same = true;
    for (int i = 0; i < o.runs; ++i) {
        clear();
        plain.add(run_child([&] { return export_file(f, exported, false); }));
        clear();
        ChildOutcome h = run_child([&] { return export_file(f, exported, true); });
        hashed.add(h);
        if (h.ok) {
            ChildOutcome check = run_child([&] { return Fields{{"sha256", file_sha256(exported)}}; });
            same = same && check.ok && !h.fields["sha256"].empty() && check.fields["sha256"] == h.fields["sha256"];
        }
    }
    clear();

    const double bytes = static_cast<double>(f.size);
    out << "[6] export of the " << mib(bytes) << " file of [1] with SHA-256 vs without: ";
    if (!plain.ok || !hashed.ok) {
        out << "FAILED: " << (plain.ok ? hashed.error : plain.error) << std::endl;
        return false;
    }
    out << "with " << hashed.time_text() << " " << rate(bytes, hashed.seconds) << ", without " << plain.time_text()
        << " " << rate(bytes, plain.seconds) << ", ratio " << ratio(hashed.seconds, plain.seconds) << " (CPU "
        << ratio(hashed.cpu, plain.cpu) << ") | peak RSS " << rss(hashed.peak_rss_mib) << ", without "
        << rss(plain.peak_rss_mib) << " | digest matches a separate pass: " << (same ? "yes" : "NO") << std::endl;
    return same;
}

// The bad sectors of a damaged disk, given as byte ranges of the file: the
// image bytes its extents put there.
std::vector<CountingSource::BadRange> bad_in_image(const FileCase& f, const std::vector<ds::ByteSpan>& in_file) {
    std::vector<CountingSource::BadRange> out;
    for (const ds::ByteSpan& r : in_file) {
        uint64_t file_at = 0;
        for (const Extent& e : f.extents) {
            const uint64_t from = std::max<uint64_t>(file_at, static_cast<uint64_t>(r.offset));
            const uint64_t to = std::min<uint64_t>(file_at + e.length, static_cast<uint64_t>(r.end()));
            if (from < to && !e.image.empty())
                out.push_back({e.image, static_cast<int64_t>(e.image_offset + (from - file_at)),
                               static_cast<int64_t>(to - from)});
            file_at += e.length;
        }
    }
    std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) {
        return a.device != b.device ? a.device < b.device : a.off < b.off;
    });
    return out;
}

// Export to /dev/null reading around unreadable sectors, as --rescue does.
Fields export_rescue(const FileCase& f, const std::vector<CountingSource::BadRange>& bad) {
    CountingSource counter;
    const std::unique_ptr<ds::Datastore> held = open_volume(f.volume, counter);
    ds::Datastore& store = *held;
    ds::File file;
    if (!store.open_file(ds::Node{f.id, -1}, file)) throw std::runtime_error("descriptor unreadable");
    counter.bad = bad;
    start_counting(store, counter);
    Stopwatch sw;
    ds::ExportOptions options;
    options.rescue = true;
    options.unreadable = [](ds::ByteSpan) { return true; };
    ds::ExportResult r = ds::file_export(store, file, "/dev/null", {}, options);
    const Timing t = sw.elapsed();
    if (r.failure != ds::ExportFailure::none || r.bytes_written != static_cast<int64_t>(f.size))
        throw std::runtime_error("export failed after " + std::to_string(r.bytes_written) + " bytes");
    return measured(t, counter, {{"unreadable", whole(static_cast<double>(r.unreadable_bytes))},
                                 {"ranges", whole(static_cast<double>(r.unreadable_ranges))}});
}

// What a bad MiB costs: the export of [1]'s file to /dev/null with --rescue,
// healthy, with 2048 bad sectors spread over the file and with one MiB wholly
// bad, taken in turns. The bad sectors fail in the counting source, as a
// disk's reads fail; the extra time and reads over the healthy export are per
// bad MiB.
bool figure_bad_sectors(int number, const FileCase& f, const RunOptions& o, std::ostream& out) {
    std::cerr << "figure " << number << ": export through bad sectors..." << std::endl;
    constexpr int64_t kBadBytes = 1 << 20;
    std::vector<ds::ByteSpan> scattered;
    const int64_t stride = static_cast<int64_t>(f.size) / (kBadBytes / 512) / 512 * 512;
    for (int64_t i = 0; i < kBadBytes / 512; ++i) scattered.push_back({i * stride + stride / 2 / 512 * 512, 512});
    const int64_t middle = static_cast<int64_t>(f.size) / 2 / kBadBytes * kBadBytes + kBadBytes / 2;
    const std::vector<ds::ByteSpan> whole_mib = {{middle, kBadBytes}};
    const auto bad_scattered = bad_in_image(f, scattered), bad_whole = bad_in_image(f, whole_mib);
    Best healthy, spread, solid;
    for (int i = 0; i < o.null_runs; ++i) {
        healthy.add(run_child([&] { return export_rescue(f, {}); }));
        spread.add(run_child([&] { return export_rescue(f, bad_scattered); }));
        solid.add(run_child([&] { return export_rescue(f, bad_whole); }));
    }
    out << "[" << number << "] export to /dev/null with --rescue of [1]'s " << mib(static_cast<double>(f.size))
        << " file, healthy and with 1 MiB of bad sectors, best of " << o.null_runs << ": ";
    if (!healthy.ok || !spread.ok || !solid.ok) {
        out << "FAILED: " << (!healthy.ok ? healthy.error : !spread.ok ? spread.error : solid.error) << std::endl;
        return false;
    }
    const bool right = num(healthy.fields, "unreadable") == 0 && num(spread.fields, "unreadable") == kBadBytes &&
                       num(solid.fields, "unreadable") == kBadBytes;
    auto damaged = [&](const char* what, const Best& b) {
        out << " | " << what << " " << b.time_text() << ", " << whole(num(b.fields, "reads")) << " reads, "
            << mib(num(b.fields, "unreadable")) << " zeroed in " << whole(num(b.fields, "ranges"))
            << " ranges; per bad MiB " << printf_text("%+.3f s", b.seconds - healthy.seconds) << " (ratio to healthy "
            << ratio(b.seconds, healthy.seconds) << "), +"
            << whole(num(b.fields, "reads") - num(healthy.fields, "reads")) << " reads";
    };
    out << "healthy " << healthy.time_text() << " " << rate(static_cast<double>(f.size), healthy.seconds) << ", "
        << whole(num(healthy.fields, "reads")) << " reads";
    damaged("2048 scattered bad sectors", spread);
    damaged("1 MiB wholly bad", solid);
    out << " | peak RSS " << rss(std::max({healthy.peak_rss_mib, spread.peak_rss_mib, solid.peak_rss_mib}))
        << " | bytes lost as placed: " << (right ? "yes" : "NO") << std::endl;
    return right;
}

#ifdef DATUMSIFT_BENCH_MOUNT
// Reads the file through a fresh read-only mount of its datastore, served by
// this process, 1 MiB at a time as cat does: the page cache of the images is
// warm, the mount's own is empty. With sha256 the bytes are hashed as well.
Fields mount_read(const FileCase& f, const std::string& mountpoint, bool sha256) {
    CountingSource counter;
    const std::unique_ptr<ds::Datastore> held = open_volume(f.volume, counter);
    std::filesystem::create_directories(mountpoint);
    dsmount::MountSource source(*held);
    dsmount::MountRoot root;
    root.listed = true;
    root.entries = {{"file", {f.id, -1}, false}};
    dsmount::MountServer server(source, root);
    const std::string why = server.mount(mountpoint);
    if (!why.empty()) throw std::runtime_error(why);
    std::thread serving([&] { server.serve(false); });
    auto unmount = [&] {
        run_process({"fusermount3", "-u", mountpoint});
        serving.join();
    };
    start_counting(*held, counter);
    ds::ChunkDigest digest(false);
    std::vector<uint8_t> buf(1 << 20);
    int64_t total = 0;
    Stopwatch sw;
    const int fd = ::open((mountpoint + "/file").c_str(), O_RDONLY);
    bool failed = fd < 0;
    while (!failed) {
        const ssize_t n = ::read(fd, buf.data(), buf.size());
        if (n < 0) failed = true;
        if (n <= 0) break;
        if (sha256) digest.add(buf.data(), n);
        total += n;
    }
    if (fd >= 0) ::close(fd);
    const Timing t = sw.elapsed();
    unmount();
    if (failed || total != static_cast<int64_t>(f.size))
        throw std::runtime_error("read through the mount failed after " + std::to_string(total) + " bytes");
    return measured(t, counter, {{"sha256", sha256 ? digest.finish() : std::string()}});
}

// The mount's sequential read against dd of the same bytes and against the
// export to /dev/null, all three taken in turns.
bool figure_mount(int number, const FileCase& f, const RunOptions& o, std::ostream& out) {
    std::cerr << "figure " << number << ": read through the mount vs export and dd to /dev/null..." << std::endl;
    out << "[" << number << "] sequential read (1 MiB reads) of " << mib(static_cast<double>(f.size))
        << " through the mount (" << f.layout << "), against export to /dev/null and dd bs=1M to /dev/null: ";
    if (::access("/dev/fuse", R_OK | W_OK) != 0) {
        out << "skipped: /dev/fuse cannot be opened here" << std::endl;
        return true;
    }
    const std::string mnt = o.work_dir + "/mnt-" + std::to_string(number);
    Best mounted, exported;
    double dd_wall = std::numeric_limits<double>::infinity(), dd_cpu = dd_wall;
    bool dd_ok = true;
    for (int i = 0; i < o.null_runs; ++i) {
        DdRun dd = dd_to_null(f.extents);
        dd_ok = dd_ok && dd.ok;
        dd_wall = std::min(dd_wall, dd.t.wall);
        dd_cpu = std::min(dd_cpu, dd.t.cpu);
        mounted.add(run_child([&] { return mount_read(f, mnt, false); }));
        exported.add(run_child([&] { return export_file(f, "/dev/null"); }));
    }
    ChildOutcome hashed = run_child([&] { return mount_read(f, mnt, true); });
    ChildOutcome want = run_child([&] { return Fields{{"sha256", extents_sha256(f.extents)}}; });
    const bool same = hashed.ok && want.ok && !want.fields["sha256"].empty() &&
                      hashed.fields["sha256"] == want.fields["sha256"];
    if (!mounted.ok || !exported.ok || !dd_ok) {
        out << "FAILED: " << (!mounted.ok ? mounted.error : !exported.ok ? exported.error : "dd failed") << std::endl;
        return false;
    }
    const double bytes = static_cast<double>(f.size);
    out << "mount " << mounted.time_text() << " " << rate(bytes, mounted.seconds) << ", export "
        << exported.time_text() << ", dd " << secs(dd_wall) << " (CPU " << secs(dd_cpu) << "); mount/export "
        << ratio(mounted.seconds, exported.seconds) << ", mount/dd " << ratio(mounted.seconds, dd_wall) << " (CPU "
        << ratio(mounted.cpu, dd_cpu) << "), best of " << o.null_runs << " | " << mounted.read_text()
        << " | bytes read are the image's: " << (same ? "yes" : "NO") << std::endl;
    return same;
}
#endif

} // namespace

bool run_figures(const Manifest& m, const RunOptions& o, std::ostream& out) {
    auto wanted = [&](int n) { return o.only.empty() || o.only.count(n) != 0; };
    bool ok = true;
    if (wanted(1)) ok = figure_export(1, "file through pointer blocks", m.pointer, o, out) && ok;
    if (wanted(2)) ok = figure_export(2, "file of file blocks on two members", m.multi, o, out) && ok;
    if (wanted(3)) ok = figure_deleted(m, o, out) && ok;
    if (wanted(4)) ok = figure_format(m, o, out) && ok;
    if (wanted(5)) ok = figure_listing(m, o, out) && ok;
    if (wanted(6)) ok = figure_hash(m.pointer, o, out) && ok;
    if (wanted(7)) ok = figure_null(7, "file through pointer blocks, [1]'s", m.pointer, o, out) && ok;
    if (wanted(8)) ok = figure_null(8, "file half of holes", m.holes, o, out) && ok;
    if (wanted(10)) ok = figure_bad_sectors(10, m.pointer, o, out) && ok;
#ifdef DATUMSIFT_BENCH_MOUNT
    if (wanted(9)) ok = figure_mount(9, m.pointer, o, out) && ok;
#endif
    return ok;
}

} // namespace dsbench
