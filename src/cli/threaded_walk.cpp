#include "tree_walk.h"

#include "interrupt.h"
#include "output.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

namespace dscli {
namespace {

// A node of the walk, or a note about a path. Its path and then the text
// prepared for it lie in its batch's text, up to path_end and end.
struct Step {
    ds::Node node;
    size_t path_end = 0;
    size_t end = 0;
    std::optional<ds::TreeNote> note;
};
struct Batch {
    std::vector<Step> steps;
    std::string text;
};

// Steps handed over at once, and batches the walk may run ahead: what waits
// stays a few thousand nodes however wide the tree is. Batches go back to
// the walker emptied, so a walk of a million nodes allocates a few of them.
constexpr size_t kBatchSteps = 1024;
constexpr size_t kBatchesAhead = 4;

// From the walking thread to the emitting one, in order, and back.
class Handover {
public:
    // False once the taker has stopped: the walk ends.
    bool put(Batch&& batch) {
        std::unique_lock lock(mutex_);
        room_.wait(lock, [&] { return halted_ || full_.size() < kBatchesAhead; });
        if (halted_) return false;
        full_.push_back(std::move(batch));
        ready_.notify_one();
        return true;
    }
    // False once the walk has ended and everything it put was taken.
    bool take(Batch& batch) {
        std::unique_lock lock(mutex_);
        ready_.wait(lock, [&] { return !full_.empty() || finished_; });
        if (full_.empty()) return false;
        batch = std::move(full_.front());
        full_.pop_front();
        room_.notify_one();
        return true;
    }
    void give_back(Batch&& batch) {
        batch.steps.clear();
        batch.text.clear();
        std::lock_guard lock(mutex_);
        if (spare_.size() < kBatchesAhead) spare_.push_back(std::move(batch));
    }
    Batch fresh() {
        std::lock_guard lock(mutex_);
        if (spare_.empty()) return {};
        Batch batch = std::move(spare_.back());
        spare_.pop_back();
        return batch;
    }
    void finish() {
        std::lock_guard lock(mutex_);
        finished_ = true;
        ready_.notify_one();
    }
    void halt() {
        std::lock_guard lock(mutex_);
        halted_ = true;
        room_.notify_one();
    }
    // Asked before every node: no lock.
    bool halted() const { return halted_.load(std::memory_order_relaxed); }

private:
    std::mutex mutex_;
    std::condition_variable ready_;
    std::condition_variable room_;
    std::deque<Batch> full_;
    std::vector<Batch> spare_;
    bool finished_ = false;
    std::atomic<bool> halted_{false};   // set under the lock, for the waits
};

} // namespace

int walk_tree_threaded(const ds::Datastore& store, const Node& top, const std::string& top_path,
                       const PrepareNode& prepare, const EmitPrepared& emit) {
    Handover handover;
    bool whole = false;
    std::exception_ptr failure;
    std::thread walker([&] {
        Batch batch;
        auto hand_on = [&] {
            const bool taken = batch.steps.empty() || handover.put(std::move(batch));
            batch = handover.fresh();
            return taken;
        };
        auto add = [&](const ds::Node& node, const std::string& path, const Node* prepared,
                       std::optional<ds::TreeNote> note) {
            batch.text += path;
            const size_t path_end = batch.text.size();
            if (prepared) prepare(*prepared, path, batch.text);
            batch.steps.push_back({node, path_end, batch.text.size(), note});
            if (batch.steps.size() >= kBatchSteps) hand_on();
        };
        try {
            whole = walk_nodes(store, top, top_path,
                               {[&](const Node& n, const std::string& path) { add(n.node, path, &n, std::nullopt); },
                                [&](ds::TreeNote what, const std::string& path) { add({}, path, nullptr, what); },
                                [&] { return !interrupted() && !handover.halted(); }});
            whole = hand_on() && whole;
        } catch (...) {
            failure = std::current_exception();
        }
        handover.finish();
    });
    // The walker is stopped and joined on every way out, a throwing emit too.
    struct Join {
        Handover& handover;
        std::thread& walker;
        ~Join() {
            handover.halt();
            if (walker.joinable()) walker.join();
        }
    } join{handover, walker};

    bool stopped = false;
    for (Batch batch; !stopped && handover.take(batch);) {
        const std::string_view text = batch.text;
        size_t from = 0;
        for (const Step& step : batch.steps) {
            const std::string_view path = text.substr(from, step.path_end - from);
            if (step.note) report_walk_note(*step.note, std::string(path));
            else emit(step.node, path, text.substr(step.path_end, step.end - step.path_end));
            from = step.end;
        }
        handover.give_back(std::move(batch));
        stopped = interrupted() || !out_ok();
    }
    handover.halt();
    walker.join();
    if (failure) std::rethrow_exception(failure);
    return whole && !stopped ? kExitOk : walk_stopped();
}

} // namespace dscli
