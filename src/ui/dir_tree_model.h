#pragma once
// The window's tree of the datastore: every node kept compactly (its
// ds::Node, its name's bytes, its kind and image), turned into text only when
// the view shows it. A listed folder's children are held whole and handed to
// the view a page at a time as it scrolls (canFetchMore/fetchMore), so a
// folder of hundreds of thousands of entries costs its records, not items.

#include "ui/tree_node.h"

#include <QAbstractItemModel>
#include <QIcon>
#include <QList>

#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace ds::ui {

class DirTreeModel : public QAbstractItemModel {
    Q_OBJECT

public:
    // Children handed to the view per fetchMore(), and at once when added.
    static constexpr int kPage = 1000;

    struct NewNode {
        std::string name;   // UTF-8, as listings give it
        Node node;
        int image = 0;      // 0 a folder, 1 a file
        NodeKind kind = NodeKind::entry;
        // The size and modified columns; blank where nothing was read.
        bool stated = false;
        int64_t size = 0;
        int32_t modified = 0;
    };
    enum Column { name_column, size_column, modified_column, column_count };

    explicit DirTreeModel(QList<QIcon> images, QObject* parent = nullptr);

    // Appends children under parent (an invalid parent: top nodes). The view
    // is handed the first page at once, the rest as it asks.
    void add_children(const QModelIndex& parent, std::vector<NewNode> nodes);
    // One node; its index, invalid while the view has not been handed it.
    QModelIndex add(const QModelIndex& parent, const std::string& name, const Node& node, int image,
                    NodeKind kind = NodeKind::entry);
    void clear();
    // Nodes held, shown or not yet.
    int64_t held() const { return int64_t(entries_.size()) - 1; }
    // Children of parent held, shown or not yet.
    int64_t children_held(const QModelIndex& parent) const;
    // Every child held under parent, shown or not, in order.
    void each_child(const QModelIndex& parent, const std::function<void(const Node&, const std::string&)>& f) const;

    QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
    QModelIndex parent(const QModelIndex& child) const override;
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    bool hasChildren(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    bool canFetchMore(const QModelIndex& parent) const override;
    void fetchMore(const QModelIndex& parent) override;

private:
    struct Entry {
        Node node;
        std::string name;
        uint32_t parent = 0;   // entry number; 0 is the invisible root
        uint32_t row = 0;      // among its parent's children
        uint32_t shown = 0;    // children handed to the view
        uint8_t image = 0;
        NodeKind kind = NodeKind::entry;
        bool stated = false;
        int32_t modified = 0;
        int64_t size = 0;
        std::vector<uint32_t> children;
    };
    uint32_t entry_of(const QModelIndex& index) const;
    void hand_out(const QModelIndex& parent, uint32_t id, int64_t up_to);

    QList<QIcon> images_;
    std::deque<Entry> entries_;   // a deque: growing never moves what is held
    bool inserting_ = false;      // a view asking again while it is told of a page waits
};

} // namespace ds::ui
