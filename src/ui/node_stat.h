#pragma once
// What the info pane shows of the node selected in the tree: its descriptor
// and where its bytes lie, read on a thread of its own so that a slow or
// damaged disk never holds the window's events up.

#include "vmfs/datastore.h"

#include <QObject>
#include <QString>

#include <atomic>
#include <thread>
#include <vector>

namespace ds::ui {

struct Stated {
    bool ok = false;
    Node node;
    FileInfo info;
    std::vector<Extent> extents;
};

// The pane's lines for it: id, type, size, times, then the extents (the
// first few; the command line's stat lists every one).
QString stat_text(const Stated& s);

class NodeStat : public QObject {
    Q_OBJECT

public:
    explicit NodeStat(QObject* parent = nullptr);
    // Waits for a running read: the datastore it reads may go next.
    ~NodeStat() override;
    NodeStat(const NodeStat&) = delete;
    NodeStat& operator=(const NodeStat&) = delete;

    // One read at a time.
    void start(const Datastore& store, const Node& node);
    bool running() const { return thread_.joinable(); }
    // After ended(): waits for the thread and hands over what it read.
    Stated take();
    void stop();
    quint64 serial() const { return serial_; }

signals:
    void ended(quint64 serial);

private:
    std::thread thread_;
    quint64 serial_ = 0;
    Stated result_;
};

} // namespace ds::ui
