#pragma once
// A scan or an export on a thread of its own, over the datastore the window
// reads. What it finds reaches the window by queued signals in batches, so a
// scan of many rows costs the event loop one event per batch rather than one
// per row, and the window stays free to repaint, to answer Esc and to show
// where the work stands.

#include <QObject>
#include <QVariant>
#include <QVariantList>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

namespace ds::ui {

// Where the running work stands.
struct WorkProgress {
    int gauge = 0;        // 0..100
    int64_t done = 0;     // bytes copied so far (exports)
    int64_t total = 0;    // bytes to copy (exports)
    int64_t read = -1;    // of done, bytes read from the volume (a thin file's holes are not); -1: not counted
};

class Work : public QObject {
    Q_OBJECT

public:
    // Runs on the worker thread; returns what the window does once the work
    // has ended (on the window's thread, after the last rows arrived).
    using Body = std::function<std::function<void()>(Work&)>;

    explicit Work(QObject* parent = nullptr);
    // Asks the work to stop and waits for it: nothing the work touches may go
    // away under it.
    ~Work() override;
    Work(const Work&) = delete;
    Work& operator=(const Work&) = delete;

    // Starts body on a new thread. One piece of work at a time.
    void start(Body body);
    bool running() const { return thread_.joinable(); }
    // After ended(): waits for the thread and hands over what the window
    // does now.
    std::function<void()> join();
    void cancel() { cancel_.store(true); }
    bool cancelled() const { return cancel_.load(); }

    // Worker side. Reports where the work stands; false once the operator
    // asked to stop. Reports do not queue up: the window is told once and
    // then reads the latest when it gets to it, so it never shows a state
    // older than the one the work is in.
    bool report(const WorkProgress& p);
    // Window side, after progressed(): the latest report.
    WorkProgress progress();
    // Queues a row for the window; rows go out in batches.
    void add(QVariant row);

    // Rows in a batch: enough to make the per-event cost vanish, few enough
    // that the window adds them between two repaints.
    static constexpr int kBatchRows = 2000;
    static constexpr std::chrono::milliseconds kInterval{40};

signals:
    void progressed();
    void rowsArrived(QVariantList rows);
    // The work has ended; every row and report was sent before it.
    void ended();

private:
    void flush_rows();

    std::thread thread_;
    std::atomic<bool> cancel_{false};
    std::function<void()> completion_;

    std::mutex progress_mutex_;
    WorkProgress latest_;
    bool told_ = false;   // a progressed() is on its way and not yet read

    // Worker side only.
    QVariantList batch_;
    std::chrono::steady_clock::time_point last_rows_{};
};

} // namespace ds::ui
