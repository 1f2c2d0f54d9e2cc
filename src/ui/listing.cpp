#include "ui/listing.h"

#include <QtGlobal>

#include <exception>

namespace ds::ui {

Listing::Listing(QObject* parent) : QObject(parent) {}

Listing::~Listing() { stop(); }

void Listing::start(const Datastore& store, const Node& dir, int64_t limit) {
    if (thread_.joinable()) return;
    cancel_.store(false);
    result_ = {};
    const quint64 serial = ++serial_;
    thread_ = std::thread([this, &store, dir, limit, serial] {
        Listed out;
        try {
            DirLister lister = store.list(dir);
            ListedEntry e;
            // One entry at a time, and no further than the window holds.
            while (!cancel_.load() && lister.next(e)) {
                if (int64_t(out.entries.size()) >= limit) {
                    out.more = true;
                    break;
                }
                // The tree's size and time columns: a descriptor read each,
                // here off the event loop, as ls -l does on the command line.
                Listed::Stat st;
                FileInfo info;
                if (store.stat(e.node(), info)) st = {info.size, info.update_time, true};
                out.stats.push_back(st);
                out.entries.push_back(std::move(e));
            }
            out.status = lister.status();
        } catch (const std::exception& e) {
            // Out of memory, say: the folder is left unlisted.
            qWarning("listing ended: %s", e.what());
            out = {};
            out.status = ListStatus::ended_early;
        }
        result_ = std::move(out);
        emit ended(serial);
    });
}

void Listing::stop() {
    cancel_.store(true);
    if (thread_.joinable()) thread_.join();
    result_ = {};
}

Listed Listing::take() {
    if (thread_.joinable()) thread_.join();
    return std::exchange(result_, {});
}

} // namespace ds::ui
