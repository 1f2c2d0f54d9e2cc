#include "ui/tree_node.h"

#include <QTreeWidgetItem>

namespace ds::ui {

void set_node(QTreeWidgetItem* item, const Node& node, NodeKind kind) {
    item->setData(0, kNodeRole, QVariant::fromValue(node));
    item->setData(0, kNodeKindRole, int(kind));
}

Node node_of(const QTreeWidgetItem* item) {
    const QVariant v = item->data(0, kNodeRole);
    return v.canConvert<Node>() ? v.value<Node>() : Node{};
}

NodeKind kind_of(const QTreeWidgetItem* item) {
    return item->data(0, kNodeKindRole).toInt() == int(NodeKind::found_top) ? NodeKind::found_top : NodeKind::entry;
}

} // namespace ds::ui
