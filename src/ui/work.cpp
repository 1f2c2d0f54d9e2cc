#include "ui/work.h"

namespace ds::ui {

Work::Work(QObject* parent) : QObject(parent) {}

Work::~Work() {
    cancel();
    if (thread_.joinable()) thread_.join();
}

void Work::start(Body body) {
    if (thread_.joinable()) return;
    cancel_.store(false);
    completion_ = nullptr;
    batch_.clear();
    last_rows_ = std::chrono::steady_clock::now();
    {
        std::lock_guard<std::mutex> lock(progress_mutex_);
        latest_ = {};
        told_ = false;
    }
    thread_ = std::thread([this, body = std::move(body)] {
        std::function<void()> then;
        try {
            then = body(*this);
        } catch (const std::exception& e) {
            // A failure the core did not foresee (out of memory, say) ends
            // the work with its reason instead of ending the program.
            const QString what = QString::fromUtf8(e.what());
            then = [what] { qWarning("work ended: %s", qPrintable(what)); };
        }
        flush_rows();
        completion_ = std::move(then);
        emit ended();
    });
}

std::function<void()> Work::join() {
    if (thread_.joinable()) thread_.join();
    return std::exchange(completion_, nullptr);
}

bool Work::report(const WorkProgress& p) {
    bool tell = false;
    {
        std::lock_guard<std::mutex> lock(progress_mutex_);
        latest_ = p;
        tell = !std::exchange(told_, true);
    }
    if (tell) emit progressed();
    if (!batch_.isEmpty() && std::chrono::steady_clock::now() - last_rows_ >= kInterval) flush_rows();
    return !cancelled();
}

WorkProgress Work::progress() {
    std::lock_guard<std::mutex> lock(progress_mutex_);
    told_ = false;
    return latest_;
}

void Work::add(QVariant row) {
    batch_.append(std::move(row));
    if (batch_.size() >= kBatchRows || std::chrono::steady_clock::now() - last_rows_ >= kInterval) flush_rows();
}

void Work::flush_rows() {
    last_rows_ = std::chrono::steady_clock::now();
    if (batch_.isEmpty()) return;
    emit rowsArrived(std::exchange(batch_, {}));
}

} // namespace ds::ui
