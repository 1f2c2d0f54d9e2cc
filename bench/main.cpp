// datumsift_bench: builds its datastores with the synthetic builder, then
// measures export, scans and listing against plain sequential reads of the
// same bytes. scripts/bench.sh runs it from a Release build.

#include "datastores.h"
#include "figures.h"
#include "huge.h"
#include "manifest.h"
#include "measure.h"

#include <filesystem>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

const char* const kUsage =
    "usage: datumsift_bench build DIR [--small] [--format-dirs N] [--format-free N] [--format-spread]\n"
    "       datumsift_bench run DIR [--runs N] [--list-runs N] [--format-runs N] [--null-runs N] [--only 1,2,...]\n"
    "       datumsift_bench all DIR [any of the above] [--clean]\n"
    "       datumsift_bench lost DIR [--count N] [--no-disk] [--runs N]   (N free pointer blocks, default 2^18;\n"
    "         prints the image, then measures the scan and the rebuild on it, best of --runs, default 1; 0: none)\n"
    "       datumsift_bench huge DIR [--files N] [--runs N] [--cli PATH] [--reuse] [--keep]\n"
    "huge builds 32 members of 2 TiB (sparse) with a million files into DIR/ds and times the datumsift\n"
    "  program on them: opening, ls of the wide directory, tree, timeline, the three scans, export -r\n"
    "  of a VM folder and find over the mount; --files N (fewer) the small shape; --keep leaves the\n"
    "  images for a later --reuse.\n"
    "build writes the datastores and DIR/bench.manifest; run prints one line per figure:\n"
    "  1 export through pointer blocks vs dd, 2 export of file blocks on two members vs dd,\n"
    "  3 deleted-file and virtual-disk scans vs one read of .fdc.sf and .pbc.sf, 4 format recovery, 5 listing,\n"
    "  6 export with SHA-256 vs without, 7 export of [1]'s file to /dev/null vs dd to /dev/null,\n"
    "  8 the same for a file half of holes, 9 [1]'s file read through the mount vs export and dd\n"
    "  to /dev/null (where FUSE is), 10 export of [1]'s file with --rescue, healthy and with 1 MiB of\n"
    "  bad sectors (scattered; whole).\n"
    "--clean removes DIR when all is done.\n";

int usage() {
    std::cerr << kUsage;
    return 2;
}

bool parse_count(const std::string& s, int64_t min, int64_t max, int64_t& out) {
    try {
        std::size_t used = 0;
        long long v = std::stoll(s, &used);
        if (used != s.size() || v < min || v > max) return false;
        out = v;
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() < 2) return usage();
    const std::string mode = args[0];
    const std::string dir = args[1];
    if (mode == "lost") {
        int64_t count = 1 << 18;
        int64_t runs = 1;
        bool boot_record = true;
        for (std::size_t i = 2; i < args.size(); ++i) {
            if (args[i] == "--no-disk") boot_record = false;
            else if (args[i] == "--count" && i + 1 < args.size() && parse_count(args[i + 1], 1, 1 << 22, count)) ++i;
            else if (args[i] == "--runs" && i + 1 < args.size() && parse_count(args[i + 1], 0, 100, runs)) ++i;
            else return usage();
        }
        try {
            std::filesystem::create_directories(dir);
            const std::string image = dsbench::build_lost_candidates(dir, static_cast<uint32_t>(count), boot_record);
            std::cout << image << std::endl;
            if (runs == 0) return 0;
            return dsbench::measure_lost(image, static_cast<int>(runs), std::cout) ? 0 : 1;
        } catch (const std::exception& e) {
            std::cerr << "datumsift_bench: " << e.what() << "\n";
            return 1;
        }
    }
    if (mode == "huge") {
        dsbench::HugeOptions huge;
        huge.work_dir = dir;
        bool keep = false;
        for (std::size_t i = 2; i < args.size(); ++i) {
            const bool has_value = i + 1 < args.size();
            int64_t v = 0;
            if (args[i] == "--reuse") huge.reuse = true;
            else if (args[i] == "--keep") keep = true;
            else if (args[i] == "--cli" && has_value) huge.cli = args[++i];
            else if (args[i] == "--files" && has_value && parse_count(args[i + 1], 100, 1000000, v)) {
                huge.files = static_cast<uint64_t>(v);
                ++i;
            } else if (args[i] == "--runs" && has_value && parse_count(args[i + 1], 1, 100, v)) {
                huge.runs = static_cast<int>(v);
                ++i;
            } else {
                return usage();
            }
        }
        int code = 0;
        try {
            std::filesystem::create_directories(dir);
            if (!dsbench::run_huge(huge, std::cout)) code = 1;
        } catch (const std::exception& e) {
            std::cerr << "datumsift_bench: " << e.what() << "\n";
            code = 1;
        }
        if (!keep) std::filesystem::remove_all(std::filesystem::path(dir) / "ds");
        return code;
    }
    if (mode != "build" && mode != "run" && mode != "all") return usage();

    dsbench::BuildOptions build;
    dsbench::RunOptions run;
    bool clean = false;
    for (std::size_t i = 2; i < args.size(); ++i) {
        const std::string& a = args[i];
        const bool has_value = i + 1 < args.size();
        int64_t v = 0;
        auto count = [&](int64_t min, int64_t max) { return has_value && parse_count(args[++i], min, max, v); };
        if (a == "--small") build.small = true;
        else if (a == "--clean") clean = true;
        else if (a == "--format-spread") build.format_spread = true;
        else if (a == "--format-dirs" && count(1, 30000)) build.format_dirs = static_cast<uint32_t>(v);
        else if (a == "--format-free" && count(1, 10000000)) build.format_free = static_cast<uint32_t>(v);
        else if (a == "--runs" && count(1, 100)) run.runs = static_cast<int>(v);
        else if (a == "--list-runs" && count(1, 1000)) run.list_runs = static_cast<int>(v);
        else if (a == "--format-runs" && count(1, 100)) run.format_runs = static_cast<int>(v);
        else if (a == "--null-runs" && count(1, 100)) run.null_runs = static_cast<int>(v);
        else if (a == "--only" && has_value) {
            std::stringstream list(args[++i]);
            std::string item;
            while (std::getline(list, item, ',')) {
                if (!parse_count(item, 1, 10, v)) return usage();
                run.only.insert(static_cast<int>(v));
            }
        } else {
            std::cerr << "bad argument: " << a << "\n";
            return usage();
        }
    }

    const std::string manifest = dir + "/bench.manifest";
    int code = 0;
    try {
        if (mode == "build") {
            std::filesystem::create_directories(dir);
            dsbench::write_manifest(manifest, dsbench::build_datastores(dir, build));
        }
        if (mode == "all") {
            // In a child: the builder's memory must not stay resident here,
            // where every measuring process is forked from.
            std::filesystem::create_directories(dir);
            dsbench::ChildOutcome built = dsbench::run_child([&] {
                dsbench::write_manifest(manifest, dsbench::build_datastores(dir, build));
                return dsbench::Fields{};
            });
            if (!built.ok) throw std::runtime_error("build failed: " + built.error);
        }
        if (mode == "run" || mode == "all") {
            run.work_dir = dir;
            std::cout << "# peak RSS of an idle measuring process: "
                      << static_cast<int>(dsbench::run_child([] { return dsbench::Fields{}; }).peak_rss_mib * 10) / 10.0
                      << " MiB (included in every peak below)" << std::endl;
            if (!dsbench::run_figures(dsbench::read_manifest(manifest), run, std::cout)) code = 1;
        }
    } catch (const std::exception& e) {
        std::cerr << "datumsift_bench: " << e.what() << "\n";
        code = 1;
    }
    if (clean) std::filesystem::remove_all(dir);
    return code;
}
