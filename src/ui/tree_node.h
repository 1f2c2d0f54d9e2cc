#pragma once
// What a node of the window's tree stands for: the ds::Node it is read
// through, and its kind, so that no logic has to recognise a node by its
// caption.

#include "vmfs/datastore.h"

#include <QMetaType>
#include <Qt>

class QModelIndex;

Q_DECLARE_METATYPE(ds::Node)

namespace ds::ui {

// Item data of the tree's nodes and the list's rows.
inline constexpr int kNodeRole = Qt::UserRole;            // the tree: a ds::Node
inline constexpr int kImageIndexRole = Qt::UserRole + 1;  // index into the window's images
inline constexpr int kDescriptorRole = Qt::UserRole + 2;  // the list: a deleted file's descriptor id
inline constexpr int kNodeKindRole = Qt::UserRole + 3;    // the tree: a NodeKind
inline constexpr int kSaveNameRole = Qt::UserRole + 4;    // the list: the save dialog's default name

enum class NodeKind : int {
    entry,       // "/" or an entry of a listed directory or a found directory
    found_top,   // the top of the format recovery's found directories: no directory file of its own
};

// A node without one reads as descriptor 0, which nothing lists or opens.
Node node_of(const QModelIndex& index);
NodeKind kind_of(const QModelIndex& index);

} // namespace ds::ui
