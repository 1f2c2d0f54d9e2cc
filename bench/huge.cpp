#include "huge.h"

#include "measure.h"

#include "builder/huge_datastore.h"
#include "vmfs/datastore.h"

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

namespace dsbench {
namespace {

namespace fs = std::filesystem;
constexpr double kMiBf = 1048576.0;
constexpr double kRssGoalMiB = 256;
constexpr double kOpenGoalSeconds = 1;
constexpr double kScanGoalRatio = 2;

std::string text(const char* format, double v) {
    char b[64];
    std::snprintf(b, sizeof b, format, v);
    return b;
}

std::string default_cli() {
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    if (ec) return "datumsift";
    return (self.parent_path().parent_path() / "src" / "cli" / "datumsift").string();
}

// Bytes the files below dir take on the host's disk (what du says).
uint64_t disk_usage(const fs::path& dir) {
    uint64_t bytes = 0;
    for (const fs::directory_entry& e : fs::recursive_directory_iterator(dir)) {
        struct stat st {};
        if (e.is_regular_file() && ::stat(e.path().c_str(), &st) == 0) bytes += static_cast<uint64_t>(st.st_blocks) * 512;
    }
    return bytes;
}

uint64_t count_lines(const std::string& path, std::string& last) {
    std::ifstream in(path);
    uint64_t n = 0;
    for (std::string line; std::getline(in, line); ++n) last = line;
    return n;
}

// What the build left, kept beside the images so that --reuse finds it.
Fields read_fields(const std::string& path) {
    Fields f;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);)
        if (auto eq = line.find('='); eq != std::string::npos) f[line.substr(0, eq)] = line.substr(eq + 1);
    return f;
}

void write_fields(const std::string& path, const Fields& f) {
    std::ofstream out(path);
    for (const auto& [k, v] : f) out << k << "=" << v << "\n";
    if (!out) throw std::runtime_error("cannot write " + path);
}

uint64_t field(const Fields& f, const std::string& key) {
    auto it = f.find(key);
    if (it == f.end()) throw std::runtime_error("build record lacks " + key);
    return std::stoull(it->second);
}

Fields build(const std::string& images_dir, uint64_t files) {
    fs::create_directories(images_dir);
    const dsb::HugeOptions o = dsb::huge_options(files);
    const dsb::HugeSummary s = dsb::build_huge(images_dir, o);
    Fields f;
    f["members"] = std::to_string(s.images.size());
    f["files"] = std::to_string(s.files);
    f["wide"] = std::to_string(s.wide_entries);
    f["folders"] = std::to_string(s.folders);
    f["vms"] = std::to_string(s.vm_dirs.size());
    f["deleted"] = std::to_string(s.deleted.size());
    f["fdc_slots"] = std::to_string(s.fdc_slots);
    f["pbc_items"] = std::to_string(s.pbc_items);
    f["sbc_items"] = std::to_string(s.sbc_items);
    f["member_mib"] = std::to_string(uint64_t{o.segments_per_member} * 256);
    f["vm_disk"] = std::to_string(o.vm_disk_size);
    // Entries below the root: four system files, /wide /data /vms /old, the
    // files, their folders, and each VM's folder with its three files.
    f["entries"] = std::to_string(8 + s.files + s.folders + 4 * s.vm_dirs.size());
    return f;
}

std::vector<std::string> member_images(const std::string& images_dir, uint64_t members) {
    std::vector<std::string> out;
    for (uint64_t m = 0; m < members; ++m) {
        char name[32];
        std::snprintf(name, sizeof name, "huge%02llu.img", static_cast<unsigned long long>(m));
        out.push_back((fs::path(images_dir) / name).string());
    }
    return out;
}

// Where .fdc.sf, .pbc.sf and .sbc.sf lie in the images, as
// "image<TAB>offset<TAB>length" lines each.
Fields system_file_places(const std::vector<std::string>& images) {
    ds::Datastore store;
    for (const std::string& image : images)
        if (store.add_disk(image, 2048) != ds::AddDiskRefusal::none) throw std::runtime_error("disk refused: " + image);
    if (ds::OpenOutcome o = store.open(); !o.completed) throw std::runtime_error("the datastore did not open");
    Fields out;
    for (const char* name : {".fdc.sf", ".pbc.sf", ".sbc.sf"}) {
        const ds::PathLookup found = store.look_up(std::string("/") + name, ds::PathFrom::root);
        ds::File f;
        if (found.end != ds::PathEnd::found || !store.open_file(found.node, f).ok())
            throw std::runtime_error(std::string(name) + " not found");
        std::vector<Extent> extents;
        for (const ds::Extent& e : store.extents(f)) {
            ds::DevicePlace at;
            if (e.kind != ds::Extent::Kind::data || !store.place(f, e.offset, e.length, at))
                throw std::runtime_error(std::string(name) + ": a part cannot be placed on a member");
            append_extent(extents, Extent{at.device, static_cast<uint64_t>(at.offset), static_cast<uint64_t>(e.length)});
        }
        std::string lines;
        for (const Extent& e : extents)
            lines += e.image + "\t" + std::to_string(e.image_offset) + "\t" + std::to_string(e.length) + "\n";
        out[name] = lines;
    }
    return out;
}

std::vector<Extent> parse_places(const std::string& lines) {
    std::vector<Extent> out;
    std::istringstream in(lines);
    std::string image, offset, length;
    while (std::getline(in, image, '\t') && std::getline(in, offset, '\t') && std::getline(in, length))
        out.push_back(Extent{image, std::stoull(offset), std::stoull(length)});
    return out;
}

uint64_t bytes_of(const std::vector<Extent>& list) {
    uint64_t n = 0;
    for (const Extent& e : list) n += e.length;
    return n;
}

// The best of several runs of one command: its wall time, the largest peak
// resident size, and what the last run printed.
struct Figure {
    bool ok = true;
    double wall = std::numeric_limits<double>::infinity();
    double rss = 0;
    uint64_t lines = 0;
    int64_t read_bytes = -1;   // of the last run
    std::string last;

    void add(bool run_ok, double seconds, double peak, const std::string& out_path, int64_t read = -1) {
        ok = ok && run_ok;
        read_bytes = read;
        wall = std::min(wall, seconds);
        rss = std::max(rss, peak);
        lines = count_lines(out_path, last);
    }
};

// The mount in the foreground, `find MOUNT` timed while it serves, then the
// unmount; the peak resident size is the serving process's.
bool mount_find(const std::vector<std::string>& prefix, const std::string& mountpoint, const std::string& out_path,
                double& seconds, double& peak) {
    fs::create_directories(mountpoint);
    std::vector<std::string> argv = prefix;
    argv.insert(argv.end(), {"mount", "-f", mountpoint});
    const pid_t pid = spawn_process(argv);
    if (pid <= 0) return false;
    struct stat parent {};
    ::stat(fs::path(mountpoint).parent_path().c_str(), &parent);
    bool mounted = false;
    for (int i = 0; i < 6000 && !mounted; ++i) {
        struct stat st {};
        if (::stat(mountpoint.c_str(), &st) == 0 && st.st_dev != parent.st_dev) {
            mounted = true;
            break;
        }
        int status = 0;
        struct rusage ru {};
        if (::wait4(pid, &status, WNOHANG, &ru) == pid) return false;   // ended without mounting
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    bool found = false;
    if (mounted) {
        Stopwatch sw;
        found = run_process({"find", mountpoint}, out_path).ok;
        seconds = sw.elapsed().wall;
        run_process({"fusermount3", "-u", mountpoint});
    } else {
        run_process({"fusermount3", "-u", mountpoint});
    }
    const ProcessOutcome served = wait_process(pid);
    peak = served.peak_rss_mib;
    std::error_code ec;
    fs::remove(mountpoint, ec);
    return mounted && found && served.ok;
}

std::string goal(bool met) { return met ? "met" : "MISSED"; }

} // namespace

bool run_huge(const HugeOptions& o, std::ostream& out) {
    const std::string images_dir = (fs::path(o.work_dir) / "ds").string();
    const std::string record = images_dir + "/huge.record";
    const std::string cli = o.cli.empty() ? default_cli() : o.cli;
    bool all_ok = true;

    Fields built;
    if (o.reuse && fs::exists(record)) built = read_fields(record);
    // Images of another number of files would be checked against the wrong counts.
    if (!built.empty() && built["files"] == std::to_string(o.files)) {
        out << "[huge] build: reused " << images_dir << std::endl;
    } else {
        std::cerr << "huge: building " << o.files << " files on 32 members..." << std::endl;
        Stopwatch sw;
        const ChildOutcome b = run_child([&] { return build(images_dir, o.files); });
        const double seconds = sw.elapsed().wall;
        if (!b.ok) throw std::runtime_error("build failed: " + b.error);
        built = b.fields;
        write_fields(record, built);
        // Gigabytes just written must not be written back while commands are timed.
        write_back_dirty_pages();
        out << "[huge] build: " << text("%.1f s", seconds) << ", peak RSS " << text("%.1f MiB", b.peak_rss_mib)
            << ", on the host's disk " << text("%.2f GiB", static_cast<double>(disk_usage(images_dir)) / (kMiBf * 1024))
            << std::endl;
    }
    out << "[huge] datastore: " << built["members"] << " members of " << built["member_mib"] << " MiB, 8 MiB blocks, "
        << built["files"] << " files (" << built["wide"] << " in /wide, the rest in " << built["folders"]
        << " folders), " << built["vms"] << " VM folders, " << built["deleted"] << " deleted files; .fdc.sf "
        << built["fdc_slots"] << " slots, .pbc.sf " << built["pbc_items"] << " pointer blocks, .sbc.sf "
        << built["sbc_items"] << " sub-blocks" << std::endl;

    const std::vector<std::string> images = member_images(images_dir, field(built, "members"));
    std::vector<std::string> prefix = {cli, "-q"};
    for (const std::string& image : images) prefix.insert(prefix.end(), {"-d", image + "@2048"});

    const ChildOutcome placed = run_child([&] { return system_file_places(images); });
    if (!placed.ok) throw std::runtime_error("system files: " + placed.error);
    const std::vector<Extent> fdc = parse_places(placed.fields.at(".fdc.sf"));
    const std::vector<Extent> pbc = parse_places(placed.fields.at(".pbc.sf"));
    const std::vector<Extent> sbc = parse_places(placed.fields.at(".sbc.sf"));
    std::vector<Extent> fdc_sbc = fdc;
    fdc_sbc.insert(fdc_sbc.end(), sbc.begin(), sbc.end());

    const std::string out_path = (fs::path(o.work_dir) / "command.out").string();
    const std::string export_dir = (fs::path(o.work_dir) / "export-vm").string();
    auto run_cli = [&](const std::vector<std::string>& args) {
        Figure f;
        for (int i = 0; i < o.runs; ++i) {
            fs::remove_all(export_dir);
            fs::remove(export_dir + ".manifest.json");
            std::vector<std::string> argv = prefix;
            argv.insert(argv.end(), args.begin(), args.end());
            Stopwatch sw;
            const ProcessOutcome p = run_process(argv, out_path);
            f.add(p.ok, sw.elapsed().wall, p.peak_rss_mib, out_path, p.read_bytes);
        }
        return f;
    };
    auto dd = [&](const std::vector<Extent>& list) {
        double best = std::numeric_limits<double>::infinity();
        for (int i = 0; i < o.runs; ++i) {
            const DdRun r = dd_to_null(list);
            if (!r.ok) throw std::runtime_error("dd of a system file failed");
            best = std::min(best, r.t.wall);
        }
        return best;
    };
    // One line per command: time, peak RSS, what it printed against what was
    // built, and the goals.
    auto line = [&](const std::string& what, const Figure& f, bool as_built, const std::string& extra) {
        const bool rss_met = f.rss < kRssGoalMiB;
        out << "[huge] " << what << ": " << text("%.3f s", f.wall) << " | peak RSS " << text("%.1f MiB", f.rss)
            << " (goal < 256 MiB: " << goal(rss_met) << ")" << extra << " | as built: " << (as_built ? "yes" : "NO")
            << std::endl;
        all_ok = all_ok && f.ok && as_built;
    };
    auto against = [&](const Figure& f, const std::string& files, const std::vector<Extent>& list) {
        const double read = dd(list);
        const double ratio = read > 0 ? f.wall / read : 0;
        return " | one dd read of " + files + " (" + text("%.0f MiB", static_cast<double>(bytes_of(list)) / kMiBf) +
               ") " + text("%.3f s", read) + ", ratio " + text("%.2f", ratio) + " (goal <= 2: " +
               goal(ratio <= kScanGoalRatio) + ")";
    };

    // What a walk read, to weigh against the metadata it needs.
    auto read_text = [](const Figure& f) {
        return f.read_bytes < 0 ? std::string()
                                : " | read " + text("%.0f MiB", static_cast<double>(f.read_bytes) / kMiBf);
    };
    const uint64_t entries = field(built, "entries");
    std::cerr << "huge: info, ls, tree, timeline..." << std::endl;
    const Figure info = run_cli({"info"});
    line("open (info)", info, info.ok && info.lines > 0,
         " | goal < 1 s: " + goal(info.wall < kOpenGoalSeconds));
    const Figure ls = run_cli({"ls", dsb::huge_wide_path()});
    line("ls of " + built["wide"] + " entries", ls, ls.lines == field(built, "wide"), "");
    const Figure tree = run_cli({"tree", "/"});
    line("tree / (" + std::to_string(entries) + " lines)", tree, tree.lines == entries, read_text(tree));
    const Figure timeline = run_cli({"timeline", "/"});
    line("timeline /", timeline, timeline.lines == entries,
         read_text(timeline) + against(timeline, ".fdc.sf and .sbc.sf", fdc_sbc));

    std::cerr << "huge: the three scans..." << std::endl;
    const Figure deleted = run_cli({"deleted"});
    line("deleted", deleted, deleted.lines == field(built, "deleted") + 1 && deleted.last == "finish",
         against(deleted, ".fdc.sf", fdc));
    const Figure vmdk = run_cli({"vmdk"});
    line("vmdk", vmdk, vmdk.lines == 1 && vmdk.last == "finish", against(vmdk, ".pbc.sf", pbc));
    const Figure formatted = run_cli({"formatted"});
    line("formatted", formatted, formatted.lines == 1 && formatted.last == "finish",
         against(formatted, ".fdc.sf and .sbc.sf", fdc_sbc));

    std::cerr << "huge: export -r of one VM folder..." << std::endl;
    const Figure exported = run_cli({"export", "-r", "/vms/vm01", export_dir});
    std::error_code ec;
    const uint64_t flat = fs::file_size(fs::path(export_dir) / "vm01-flat.vmdk", ec);
    line("export -r /vms/vm01 (thin disk of " + text("%.0f MiB", static_cast<double>(field(built, "vm_disk")) / kMiBf) +
             ", on the host " + text("%.0f MiB", static_cast<double>(disk_usage(export_dir)) / kMiBf) + ")",
         exported, !ec && flat == field(built, "vm_disk"), "");
    fs::remove_all(export_dir);
    fs::remove(export_dir + ".manifest.json");

#ifdef DATUMSIFT_BENCH_MOUNT
    std::cerr << "huge: find over the mount..." << std::endl;
    Figure found;
    for (int i = 0; i < o.runs; ++i) {
        double seconds = 0, peak = 0;
        const bool ok = mount_find(prefix, (fs::path(o.work_dir) / "mnt").string(), out_path, seconds, peak);
        found.add(ok, seconds, peak, out_path);
    }
    line("find MOUNT | wc -l (mount's peak RSS)", found, found.ok && found.lines == entries + 1,
         " | lines " + std::to_string(found.lines) + " of " + std::to_string(entries + 1));
#else
    out << "[huge] find over the mount: not built here (no FUSE)" << std::endl;
#endif
    fs::remove(out_path);
    return all_ok;
}

} // namespace dsbench
