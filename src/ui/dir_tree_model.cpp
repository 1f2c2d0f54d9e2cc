#include "ui/dir_tree_model.h"

#include "text/time_text.h"

#include <algorithm>

namespace ds::ui {

DirTreeModel::DirTreeModel(QList<QIcon> images, QObject* parent)
    : QAbstractItemModel(parent), images_(std::move(images)), entries_(1) {}

uint32_t DirTreeModel::entry_of(const QModelIndex& index) const {
    return index.isValid() ? uint32_t(index.internalId()) : 0;
}

void DirTreeModel::add_children(const QModelIndex& parent, std::vector<NewNode> nodes) {
    if (parent.isValid() && (parent.model() != this || parent.column() != 0)) return;
    const uint32_t p = entry_of(parent);
    // Entry numbers are 32 bits: past that nothing is added (a bound of the
    // window's keeps far below it).
    const size_t room = size_t(UINT32_MAX) - entries_.size();
    nodes.resize(std::min(nodes.size(), room));
    entries_[p].children.reserve(entries_[p].children.size() + nodes.size());
    for (NewNode& n : nodes) {
        Entry e;
        e.node = n.node;
        e.name = std::move(n.name);
        e.parent = p;
        e.row = uint32_t(entries_[p].children.size());
        e.image = uint8_t(std::clamp(n.image, 0, 255));
        e.kind = n.kind;
        e.stated = n.stated;
        e.size = n.size;
        e.modified = n.modified;
        entries_[p].children.push_back(uint32_t(entries_.size()));
        entries_.push_back(std::move(e));
    }
    hand_out(parent, p, kPage);
}

QModelIndex DirTreeModel::add(const QModelIndex& parent, const std::string& name, const Node& node, int image,
                              NodeKind kind) {
    std::vector<NewNode> one(1);
    one[0] = {name, node, image, kind};
    add_children(parent, std::move(one));
    const uint32_t p = entry_of(parent);
    const int row = int(entries_[p].children.size()) - 1;
    return row >= 0 ? index(row, 0, parent) : QModelIndex();
}

void DirTreeModel::clear() {
    beginResetModel();
    entries_.clear();
    entries_.shrink_to_fit();
    entries_.resize(1);
    endResetModel();
}

int64_t DirTreeModel::children_held(const QModelIndex& parent) const {
    return int64_t(entries_[entry_of(parent)].children.size());
}

void DirTreeModel::each_child(const QModelIndex& parent,
                              const std::function<void(const Node&, const std::string&)>& f) const {
    for (uint32_t c : entries_[entry_of(parent)].children) f(entries_[c].node, entries_[c].name);
}

QModelIndex DirTreeModel::index(int row, int column, const QModelIndex& parent) const {
    if (column < 0 || column >= column_count || row < 0 || (parent.isValid() && parent.column() != 0)) return {};
    const Entry& p = entries_[entry_of(parent)];
    if (uint32_t(row) >= p.shown) return {};
    return createIndex(row, column, quintptr(p.children[size_t(row)]));
}

QModelIndex DirTreeModel::parent(const QModelIndex& child) const {
    const uint32_t c = entry_of(child);
    if (c == 0) return {};
    const uint32_t p = entries_[c].parent;
    if (p == 0) return {};
    return createIndex(int(entries_[p].row), 0, quintptr(p));
}

int DirTreeModel::rowCount(const QModelIndex& parent) const {
    if (parent.isValid() && parent.column() != 0) return 0;
    return int(entries_[entry_of(parent)].shown);
}

int DirTreeModel::columnCount(const QModelIndex&) const { return column_count; }

bool DirTreeModel::hasChildren(const QModelIndex& parent) const {
    if (parent.isValid() && parent.column() != 0) return false;
    return !entries_[entry_of(parent)].children.empty();
}

QVariant DirTreeModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid()) return {};
    const Entry& e = entries_[entry_of(index)];
    if (index.column() != name_column) {
        if (role != Qt::DisplayRole || !e.stated) return {};
        if (index.column() == size_column) return QString::number(e.size);
        return QString::fromStdString(format_unix_time(e.modified));
    }
    switch (role) {
    case Qt::DisplayRole: return QString::fromUtf8(e.name.data(), qsizetype(e.name.size()));
    case Qt::DecorationRole: return images_.value(e.image);
    case kImageIndexRole: return int(e.image);
    case kNodeRole: return QVariant::fromValue(e.node);
    case kNodeKindRole: return int(e.kind);
    default: return {};
    }
}

QVariant DirTreeModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
    switch (section) {
    case name_column: return QStringLiteral("name");
    case size_column: return QStringLiteral("size");
    case modified_column: return QStringLiteral("modified");
    default: return {};
    }
}

bool DirTreeModel::canFetchMore(const QModelIndex& parent) const {
    if (inserting_ || (parent.isValid() && parent.column() != 0)) return false;
    const Entry& p = entries_[entry_of(parent)];
    return p.shown < p.children.size();
}

void DirTreeModel::fetchMore(const QModelIndex& parent) {
    if (inserting_ || (parent.isValid() && parent.column() != 0)) return;
    const uint32_t p = entry_of(parent);
    hand_out(parent, p, int64_t(entries_[p].shown) + kPage);
}

void DirTreeModel::hand_out(const QModelIndex& parent, uint32_t id, int64_t up_to) {
    Entry& p = entries_[id];
    // A view's rows are counted in int: past that the rest stay held, unshown.
    const int64_t next = std::min<int64_t>({int64_t(p.children.size()), up_to, int64_t(INT32_MAX)});
    if (next <= int64_t(p.shown)) return;
    inserting_ = true;
    beginInsertRows(parent, int(p.shown), int(next - 1));
    p.shown = uint32_t(next);
    endInsertRows();
    inserting_ = false;
}

} // namespace ds::ui
