#include "ui/tree_node.h"

#include <QModelIndex>

namespace ds::ui {

Node node_of(const QModelIndex& index) {
    const QVariant v = index.siblingAtColumn(0).data(kNodeRole);
    return v.canConvert<Node>() ? v.value<Node>() : Node{};
}

NodeKind kind_of(const QModelIndex& index) {
    return index.siblingAtColumn(0).data(kNodeKindRole).toInt() == int(NodeKind::found_top) ? NodeKind::found_top
                                                                                            : NodeKind::entry;
}

} // namespace ds::ui
