#pragma once
// A folder's listing on a thread of its own, apart from the scans and
// exports: reading a directory of a slow or damaged disk never holds the
// window's events up, and a folder can be listed while an export runs.

#include "vmfs/datastore.h"

#include <QObject>

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

namespace ds::ui {

// What a listing found.
struct Listed {
    ListStatus status = ListStatus::not_directory;
    std::vector<ListedEntry> entries;
    // Each entry's size and modified time, as its descriptor says them;
    // stated false where the descriptor could not be read.
    struct Stat {
        int64_t size = 0;
        int32_t modified = 0;
        bool stated = false;
    };
    std::vector<Stat> stats;   // one per entry
    bool more = false;   // the folder holds more entries than were asked for
};

class Listing : public QObject {
    Q_OBJECT

public:
    explicit Listing(QObject* parent = nullptr);
    // Stops the listing and waits for it: the datastore it reads may go next.
    ~Listing() override;
    Listing(const Listing&) = delete;
    Listing& operator=(const Listing&) = delete;

    // Lists dir on a new thread, at most limit entries. One listing at a time.
    void start(const Datastore& store, const Node& dir, int64_t limit);
    bool running() const { return thread_.joinable(); }
    // Stops a running listing and drops what it found; ended() for it, if
    // already on its way, is ignored.
    void stop();
    // After ended(): waits for the thread and hands over what it found.
    Listed take();

signals:
    // The listing numbered serial has ended.
    void ended(quint64 serial);

public:
    quint64 serial() const { return serial_; }

private:
    std::thread thread_;
    std::atomic<bool> cancel_{false};
    quint64 serial_ = 0;
    Listed result_;
};

} // namespace ds::ui
