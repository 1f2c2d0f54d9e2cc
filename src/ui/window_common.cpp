#include "ui/window_common.h"

namespace ds::ui {


QTreeWidgetItem* make_node(const QList<QIcon>& images, const QString& text, const Node& node, int image,
                           NodeKind kind) {
    auto* item = new QTreeWidgetItem;
    item->setText(0, text);
    set_node(item, node, kind);
    item->setData(0, kImageIndexRole, image);
    item->setIcon(0, images.value(image));
    return item;
}

void expand_all(QTreeWidgetItem* item) {
    item->setExpanded(true);
    for (int i = 0; i < item->childCount(); ++i) expand_all(item->child(i));
}

} // namespace ds::ui
