// How a folder of many entries reaches the window's tree: builds a datastore
// whose /wide holds N entries (in a child process), lists it from the window
// offscreen and reports when the listing was on show, how long the window's
// thread was kept from its events, how long scrolling to the last entry took
// and the window's peak memory.
//
//   datumsift-window-bench --tree DIR [N]      (N defaults to 200000)

#include "app/tree_bench.h"

#include "ui/artwork.h"
#include "ui/datastore_window.h"
#include "app/bench_support.h"
#include "vmfs/datastore.h"

#include "builder/datastore_builder.h"

#include <QAbstractItemModel>
#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <QTreeView>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include <sys/wait.h>
#include <unistd.h>

namespace {


// Builds DIR/wide.img in a child: this process's peak memory is the window's.
bool build_wide(const std::string& dir, unsigned long n) {
    const pid_t child = ::fork();
    if (child < 0) return false;
    if (child == 0) {
        QElapsedTimer clock;
        clock.start();
        dsb::DatastoreOptions o;
        o.path = dir + "/wide.img";
        o.fdc.area_count = std::max<uint32_t>(4, uint32_t((n + 16 + 255) / 256));
        o.segments = uint32_t(3 + uint64_t(n) * (140 + 2048) / (256ull << 20));
        // .fdc.sf is at most 256 blocks of the builder's: the blocks grow.
        while (o.block_size < (8ull << 20) && (uint64_t(n) + 4096) * 2048 > 240 * o.block_size) o.block_size *= 2;
        dsb::ImageBuilder ds(o);
        const uint32_t f = ds.add_file("/f.txt", dsb::text_file("x"));
        const uint32_t wide = ds.mkdir("/wide");
        for (unsigned long k = 0; k < n; ++k) ds.add_dirent(wide, 3, f, "entry-" + std::to_string(k));
        ds.finish();
        std::printf("built %s: /wide holds %lu entries, in %.1f s\n", o.path.c_str(), n, double(clock.elapsed()) / 1000);
        std::fflush(stdout);
        ::_exit(0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

} // namespace

int tree_bench(const std::string& dir, unsigned long n) {
    if (!build_wide(dir, n)) return 1;
    dsbench::BenchApp app;
    int rc = 1;
    {
        ds::DatastoreWindow w;
        if (w.store.add_disk(dir + "/wide.img", 2048) != ds::AddDiskRefusal::none) return 1;
        w.show();
        w.browse();
        QApplication::processEvents();
        QAbstractItemModel* model = w.tree->model();
        const QModelIndex root = model->index(0, 0);
        w.tree->setCurrentIndex(root);
        w.list_selected_folder();
        while (w.listing()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        QModelIndex wide;
        for (int i = 0; i < model->rowCount(root); ++i)
            if (model->index(i, 0, root).data().toString() == "wide") wide = model->index(i, 0, root);
        if (!wide.isValid()) return 1;

        QTimer tick;
        QElapsedTimer since_tick;
        qint64 longest_gap = 0;
        QObject::connect(&tick, &QTimer::timeout, [&] {
            longest_gap = std::max(longest_gap, since_tick.elapsed());
            since_tick.start();
        });
        QElapsedTimer clock;
        clock.start();
        since_tick.start();
        tick.start(10);
        w.tree->setCurrentIndex(wide);
        w.list_selected_folder();
        while (w.listing()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        QCoreApplication::processEvents();
        const qint64 listed_ms = clock.elapsed();
        tick.stop();
        std::printf("listed /wide: %d entries handed to the view, on show after %lld ms (said: \"%s\")\n",
                    model->rowCount(wide), static_cast<long long>(listed_ms), qPrintable(app.prompts.last));
        std::printf("longest time the window did not answer its events: %lld ms\n", static_cast<long long>(longest_gap));

        QElapsedTimer scroll;
        scroll.start();
        int asks = 0;
        while (model->canFetchMore(wide) && asks < 100000) {
            w.tree->scrollToBottom();
            QCoreApplication::processEvents();
            ++asks;
        }
        w.tree->scrollToBottom();
        QCoreApplication::processEvents();
        const int shown = model->rowCount(wide);
        std::printf("scrolled to the last entry (%s, %d shown) in %lld ms, %d scrolls\n",
                    qPrintable(model->index(shown - 1, 0, wide).data().toString()), shown,
                    static_cast<long long>(scroll.elapsed()), asks);
        std::printf("peak memory of the window's process: %s\n", dsbench::peak_memory().c_str());
        rc = shown == int(n) ? 0 : 1;
    }
    return rc;
}
