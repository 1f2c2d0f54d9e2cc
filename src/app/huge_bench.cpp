// The window on the full-size datastore (32 members of 2 TiB, a million
// files): opens the members as the disk settings do, then does what an
// operator would in a first hour, step by step, and says for each how long
// it took and how long the window's thread was kept from its events; at the
// end the process's peak memory, which is the window's (the images are
// built by a child).
//
//   datumsift-window-bench --huge DIR [FILES]   (reuses DIR's images if present)

#include "app/huge_bench.h"

#include "app/bench_support.h"
#include "ui/artwork.h"
#include "ui/datastore_window.h"
#include "ui/dir_tree_model.h"
#include "ui/node_stat.h"
#include "ui/scan_rows_model.h"
#include "ui/work.h"
#include "vmfs/datastore.h"

#include "builder/huge_datastore.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QTimer>
#include <QTreeView>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

std::string member_path(const std::string& dir, uint32_t m) {
    char name[32];
    std::snprintf(name, sizeof name, "/huge%02u.img", m);
    return dir + name;
}

bool members_present(const std::string& dir, uint32_t members) {
    struct stat st {};
    for (uint32_t m = 0; m < members; ++m)
        if (::stat(member_path(dir, m).c_str(), &st) != 0) return false;
    return true;
}

// In a child: the builder's memory is not the window's.
bool build_huge(const std::string& dir, uint64_t files) {
    const pid_t child = ::fork();
    if (child < 0) return false;
    if (child == 0) {
        QElapsedTimer clock;
        clock.start();
        const dsb::HugeSummary s = dsb::build_huge(dir, dsb::huge_options(files));
        std::printf("built %s: %llu files on 32 members in %.1f s\n", dir.c_str(),
                    static_cast<unsigned long long>(s.files), double(clock.elapsed()) / 1000);
        std::fflush(stdout);
        ::_exit(0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// A timer that should tick every 10 ms: the longest gap between its ticks is
// the longest the window's thread did not answer its events.
class StallMeter {
public:
    StallMeter() {
        QObject::connect(&tick_, &QTimer::timeout, [this] {
            longest_ = std::max(longest_, since_.elapsed());
            since_.start();
        });
    }
    void start() {
        longest_ = 0;
        since_.start();
        tick_.start(10);
    }
    qint64 stop() {
        longest_ = std::max(longest_, since_.elapsed());
        tick_.stop();
        return longest_;
    }

private:
    QTimer tick_;
    QElapsedTimer since_;
    qint64 longest_ = 0;
};

struct Bench {
    ds::DatastoreWindow& w;
    StallMeter meter;
    qint64 worst_stall = 0;
    bool ok = true;

    // One step: its wall time, its longest stall, the memory after it.
    void step(const char* what, const std::function<std::string()>& body) {
        QElapsedTimer clock;
        clock.start();
        meter.start();
        const std::string said = body();
        QCoreApplication::processEvents();
        const qint64 stall = meter.stop();
        worst_stall = std::max(worst_stall, stall);
        std::printf("%-32s %6lld ms | longest stall %4lld ms | RSS %s, peak %s | %s\n", what,
                    static_cast<long long>(clock.elapsed()), static_cast<long long>(stall), dsbench::current_memory().c_str(),
                    dsbench::peak_memory().c_str(), said.c_str());
    }

    void wait_listings() {
        while (w.listing()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        QCoreApplication::processEvents();
    }
    void list(const QModelIndex& node) {
        w.tree->setCurrentIndex(node);
        w.list_selected_folder();
        wait_listings();
    }
    void wait_work() {
        while (w.busy()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        QCoreApplication::processEvents();
    }
    QModelIndex child(const QModelIndex& parent, const QString& name) {
        QAbstractItemModel* m = w.tree->model();
        for (int i = 0; i < m->rowCount(parent); ++i)
            if (m->index(i, 0, parent).data().toString() == name) return m->index(i, 0, parent);
        ok = false;
        return {};
    }
    // To the last child as an operator reading down the folder gets there:
    // to its last shown child, again and again (its siblings below keep the
    // view's own end elsewhere). Stops where a scroll brings nothing more.
    int scroll_tree(const QModelIndex& parent) {
        QAbstractItemModel* m = w.tree->model();
        int asks = 0;
        for (int shown = -1; m->canFetchMore(parent) && m->rowCount(parent) != shown; ++asks) {
            shown = m->rowCount(parent);
            w.tree->scrollTo(m->index(shown - 1, 0, parent));
            QCoreApplication::processEvents();
            QCoreApplication::processEvents();
        }
        if (m->canFetchMore(parent)) ok = false;
        return asks;
    }
    int scroll_list() { return dsbench::scroll_scan_list_to_end(w); }
};

std::string text(const char* format, long long a, long long b = 0) {
    char line[160];
    std::snprintf(line, sizeof line, format, a, b);
    return line;
}

} // namespace

int huge_bench(const std::string& dir, uint64_t files) {
    const uint32_t members = dsb::huge_options(files).members;
    if (members_present(dir, members)) std::printf("reusing the images in %s\n", dir.c_str());
    else if (!build_huge(dir, files)) return 1;

    dsbench::BenchApp app;
    std::printf("before the window: RSS %s\n", dsbench::current_memory().c_str());
    int rc = 1;
    {
        ds::DatastoreWindow w;
        w.resize(1024, 768);
        w.show();
        QApplication::processEvents();
        Bench b{w, {}};
        QAbstractItemModel* model = w.tree->model();

        b.step("open 32 members, browse, list /", [&] {
            for (uint32_t m = 0; m < members; ++m)
                if (w.store.add_disk(member_path(dir, m), 2048) != ds::AddDiskRefusal::none) b.ok = false;
            w.browse();
            QCoreApplication::processEvents();
            b.list(model->index(0, 0));
            return text("%lld members, %lld entries in /", w.store.volume().loaded_extents,
                        model->rowCount(model->index(0, 0)));
        });
        if (!b.ok) return 1;
        const QModelIndex root = model->index(0, 0);
        const QModelIndex wide = b.child(root, "wide");
        const QModelIndex data = b.child(root, "data");
        if (!b.ok) return 1;

        b.step("list /wide", [&] {
            b.list(wide);
            return text("%lld held, %lld shown", w.tree_nodes->children_held(wide), model->rowCount(wide));
        });
        b.step("scroll /wide to its end", [&] {
            const int asks = b.scroll_tree(wide);
            return text("%lld scrolls, %lld shown", asks, model->rowCount(wide));
        });
        w.tree->collapse(wide);
        b.step("list /data", [&] {
            b.list(data);
            return text("%lld held, %lld shown", w.tree_nodes->children_held(data), model->rowCount(data));
        });
        QModelIndex a_file;
        b.step("list 50 folders of /data", [&] {
            long long entries = 0;
            for (int i = 0; i < 50 && i < model->rowCount(data); ++i) {
                const QModelIndex folder = model->index(i, 0, data);
                b.list(folder);
                w.tree->scrollTo(folder);
                entries += w.tree_nodes->children_held(folder);
                if (!a_file.isValid() && model->rowCount(folder) > 0) a_file = model->index(0, 0, folder);
            }
            return text("%lld entries under them, %lld nodes held", entries, w.tree_nodes->held());
        });
        b.step("info pane on a file", [&] {
            auto* stat = w.findChild<ds::ui::NodeStat*>();
            w.tree->setCurrentIndex(a_file);
            while (stat->running()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
            return text("%lld lines in the pane", w.info_text->document()->blockCount());
        });
        b.step("deleted-file scan", [&] {
            w.scan_deleted();
            b.wait_work();
            return text("%lld rows (%lld shown)", w.scan_rows->held(), w.scan_rows->rowCount());
        });
        b.step("scroll its list", [&] { return text("%lld scrolls", b.scroll_list()); });
        b.step("virtual-disk scan", [&] {
            w.scan_lost_disks();
            b.wait_work();
            return text("%lld rows (%lld shown)", w.scan_rows->held(), w.scan_rows->rowCount());
        });
        b.step("scroll its list", [&] { return text("%lld scrolls", b.scroll_list()); });
        b.step("format recovery", [&] {
            w.scan_formatted();
            b.wait_work();
            const QModelIndex top = model->index(0, 0);
            return text("%lld directories found (%lld shown)", w.tree_nodes->children_held(top), model->rowCount(top));
        });
        b.step("scroll the found directories", [&] {
            const QModelIndex top = model->index(0, 0);
            w.tree->expand(top);
            return text("%lld scrolls", b.scroll_tree(top));
        });
        std::printf("longest stall of all steps: %lld ms\n", static_cast<long long>(b.worst_stall));
        std::printf("peak memory of the window's process: %s (last said: \"%s\")\n", dsbench::peak_memory().c_str(),
                    qPrintable(app.prompts.last));
        rc = b.ok ? 0 : 1;
    }
    return rc;
}
