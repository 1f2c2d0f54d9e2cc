// How the rows of a long scan reach the window: builds a datastore with N
// deleted files, runs the deleted-file scan from the main window offscreen
// and reports when the first rows and the last were on show, how many
// batches carried them and how long the window's thread spent adding them;
// then scrolls the list to its last row, a page at a time as the view asks.
//
//   datumsift-window-bench DIR [N]      (N defaults to 100000)
//   datumsift-window-bench --tree DIR [N]   (the tree: see tree_bench.cpp)
//   datumsift-window-bench --huge DIR [FILES]   (full size: see huge_bench.cpp)

#include "app/huge_bench.h"
#include "app/tree_bench.h"
#include "ui/artwork.h"
#include "ui/datastore_window.h"
#include "app/bench_support.h"
#include "ui/scan_rows_model.h"
#include "ui/work.h"
#include "vmfs/datastore.h"

#include "scenarios.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <QTreeView>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc >= 3 && argc <= 4 && std::strcmp(argv[1], "--tree") == 0) {
        ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
        std::setvbuf(stdout, nullptr, _IOLBF, 0);
        return tree_bench(argv[2], argc == 4 ? std::strtoul(argv[3], nullptr, 10) : 200000);
    }
    if (argc >= 3 && argc <= 4 && std::strcmp(argv[1], "--huge") == 0) {
        ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
        std::setvbuf(stdout, nullptr, _IOLBF, 0);
        return huge_bench(argv[2], argc == 4 ? std::strtoull(argv[3], nullptr, 10) : 1000000);
    }
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: %s DIR [ROWS] | --tree DIR [ENTRIES] | --huge DIR [FILES]\n", argv[0]);
        return 2;
    }
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const std::string dir = argv[1];
    const uint32_t rows = argc == 3 ? uint32_t(std::strtoul(argv[2], nullptr, 10)) : 100000;

    dsb::BenchOptions o;
    o.big_file_size = 64ull << 20;
    o.fdc_slots = rows + 1024;
    o.old_dirs = 1;
    o.free_subblocks = 16;
    o.dir_entries = 16;
    o.deleted_files = rows;
    // .fdc.sf is at most 256 blocks of the builder's: beyond about 120,000
    // descriptors the blocks grow.
    while (o.block_size < (8ull << 20) && (uint64_t(rows) + 4096) * 2048 > 240 * o.block_size) o.block_size *= 2;
    // Built by a child process: the peak memory of this one is the window's.
    int start_pipe[2];
    if (::pipe(start_pipe) != 0) return 1;
    const pid_t builder = ::fork();
    if (builder < 0) return 1;
    if (builder == 0) {
        QElapsedTimer build;
        build.start();
        const dsb::BenchSummary sum = dsb::build_bench(dir, o);
        std::printf("built %s with %u deleted files in %.1f s\n", sum.images.at(0).c_str(), rows,
                    double(build.elapsed()) / 1000);
        const int64_t start = sum.start_sector;
        const bool sent = ::write(start_pipe[1], &start, sizeof start) == ssize_t(sizeof start);
        std::fflush(stdout);
        ::_exit(sent ? 0 : 1);
    }
    ::close(start_pipe[1]);
    int64_t start_sector = 0;
    const bool got = ::read(start_pipe[0], &start_sector, sizeof start_sector) == ssize_t(sizeof start_sector);
    int child = 0;
    ::waitpid(builder, &child, 0);
    if (!got || !WIFEXITED(child) || WEXITSTATUS(child) != 0) return 1;

    dsbench::BenchApp app;
    ds::DatastoreWindow w;
    if (w.store.add_disk(dir + "/bench.img", start_sector) != ds::AddDiskRefusal::none) return 1;
    w.show();
    w.browse();
    QApplication::processEvents();

    auto* work = w.findChild<ds::ui::Work*>();
    int batches = 0;
    qint64 first_rows_ms = -1;
    QElapsedTimer clock;
    // Connected after the window's own slot: this one runs once the batch is
    // in the list.
    QObject::connect(work, &ds::ui::Work::rowsArrived, &w, [&](const QVariantList&) {
        ++batches;
        if (first_rows_ms < 0) first_rows_ms = clock.elapsed();
    });
    bool ended = false;
    QObject::connect(&w, &ds::DatastoreWindow::workEnded, &w, [&] { ended = true; });
    // How long the window's thread is ever kept from its events: a timer
    // that should tick every 10 ms, and the longest gap between its ticks.
    QTimer tick;
    QElapsedTimer since_tick;
    qint64 longest_gap = 0;
    QObject::connect(&tick, &QTimer::timeout, [&] {
        longest_gap = std::max(longest_gap, since_tick.elapsed());
        since_tick.start();
    });

    clock.start();
    since_tick.start();
    tick.start(10);
    w.scan_deleted();
    while (!ended) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    const qint64 total_ms = clock.elapsed();
    tick.stop();

    const int64_t held = w.scan_rows->held();
    std::printf("rows in the list: %lld, handed to the view so far: %d (the scan said \"%s\")\n",
                static_cast<long long>(held), w.scan_rows->rowCount(), qPrintable(app.prompts.last));
    std::printf("batches (queued signals): %d, %.0f rows each on average\n", batches,
                batches ? double(held) / batches : 0.0);
    std::printf("first rows on show after %lld ms; all rows and \"finish\" after %lld ms\n",
                static_cast<long long>(first_rows_ms), static_cast<long long>(total_ms));
    std::printf("longest time the window did not answer its events: %lld ms\n", static_cast<long long>(longest_gap));

    // To the last row as an operator would get there: the view at its end
    // asks for the next page, again and again.
    QElapsedTimer scroll;
    scroll.start();
    const int asks = dsbench::scroll_scan_list_to_end(w);
    const QString last = w.scan_rows->index(w.scan_rows->rowCount() - 1, 0).data().toString();
    std::printf("scrolled to the last row (sn %s) in %lld ms, %d scrolls\n", qPrintable(last),
                static_cast<long long>(scroll.elapsed()), asks);
    std::printf("peak memory of the window's process: %s\n", dsbench::peak_memory().c_str());
    return held == int64_t(rows) && w.scan_rows->rowCount() == int(rows) ? 0 : 1;
}
