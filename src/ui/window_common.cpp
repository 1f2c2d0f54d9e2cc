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

QTreeWidgetItem* file_row_item(const QList<QIcon>& images, const FileRow& row) {
    auto* item = new QTreeWidgetItem;
    const std::array<std::string, 7> cells = file_row_cells(row);
    for (int i = 0; i < 7; ++i) item->setText(i, qs(cells[i]));
    item->setCheckState(0, Qt::Unchecked);
    item->setIcon(0, images.value(1));
    item->setData(0, kImageIndexRole, 1);
    item->setData(0, kDescriptorRole, QVariant::fromValue<uint32_t>(row.descriptor_id));
    return item;
}

QTreeWidgetItem* partition_row_item(const QList<QIcon>& images, const PartitionRow& row) {
    auto* item = new QTreeWidgetItem;
    const std::array<std::string, 4> cells = partition_row_cells(row);
    for (int i = 0; i < 4; ++i) item->setText(i, qs(cells[i]));
    item->setCheckState(0, Qt::Unchecked);
    item->setIcon(0, images.value(0));
    item->setData(0, kImageIndexRole, 0);
    return item;
}

void expand_all(QTreeWidgetItem* item) {
    item->setExpanded(true);
    for (int i = 0; i < item->childCount(); ++i) expand_all(item->child(i));
}

} // namespace ds::ui
