#include "ui/scan_rows_model.h"

#include "ui/deleted_row_text.h"
#include "ui/language.h"
#include "ui/tree_node.h"
#include "text/row_text.h"

#include <algorithm>

namespace ds::ui {

namespace {

const QStringList& columns() {
    static const QStringList c = {QStringLiteral("sn"),        QStringLiteral("ID"),
                                  QStringLiteral("type"),      QStringLiteral("size"),
                                  QStringLiteral("create at"), QStringLiteral("last update at "),
                                  QStringLiteral("atime")};
    return c;
}

// The partition types in the language in use: the Chinese ones have an
// English translation, the others are names in any language.
QString types_shown(const std::string& types) {
    [[maybe_unused]] static const char* const translated[] = {
        QT_TRANSLATE_NOOP("DatumSift", "扩展分区"), QT_TRANSLATE_NOOP("DatumSift", "LINUX交换"),
        QT_TRANSLATE_NOOP("DatumSift", "未知")};
    QStringList parts = QString::fromStdString(types).split(QLatin1Char('|'));
    for (QString& p : parts) p = tx(p.toUtf8().constData());
    return parts.join(QLatin1Char('|'));
}

} // namespace

const PartitionRow* ScanRowsModel::partition_at(int row) const {
    if (row < 0 || row >= shown_ || size_t(row) >= partitions_.size()) return nullptr;
    return &partitions_[size_t(row)];
}

ScanRowsModel::ScanRowsModel(QList<QIcon> images, QObject* parent) : QAbstractItemModel(parent), images_(std::move(images)) {}

void ScanRowsModel::add(const std::vector<FileRow>& rows) {
    if (!partitions_.empty()) clear();
    files_.insert(files_.end(), rows.begin(), rows.end());
}

void ScanRowsModel::add(const std::vector<PartitionRow>& rows) {
    if (!files_.empty()) clear();
    partitions_.insert(partitions_.end(), rows.begin(), rows.end());
}

void ScanRowsModel::clear() {
    beginResetModel();
    files_.clear();
    files_.shrink_to_fit();
    partitions_.clear();
    partitions_.shrink_to_fit();
    ticked_.clear();
    names_.clear();
    shown_ = 0;
    endResetModel();
}

QModelIndex ScanRowsModel::index(int row, int column, const QModelIndex& parent) const {
    if (parent.isValid() || row < 0 || row >= shown_ || column < 0 || column >= columnCount()) return {};
    return createIndex(row, column);
}

QModelIndex ScanRowsModel::parent(const QModelIndex&) const { return {}; }

int ScanRowsModel::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : shown_; }

int ScanRowsModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : int(columns().size()); }

QVariant ScanRowsModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= shown_) return {};
    const size_t row = size_t(index.row());
    const bool file = !files_.empty();
    const int image = file ? 1 : 0;
    if (role == Qt::DisplayRole) {
        if (file) return QString::fromStdString(file_row_cells(files_[row])[size_t(index.column())]);
        if (index.column() >= 4) return QString();
        const std::array<std::string, 4> cells = partition_row_cells(partitions_[row]);
        if (index.column() == 2) return types_shown(cells[2]);
        return QString::fromStdString(cells[size_t(index.column())]);
    }
    if (role == Qt::ToolTipRole || (role == kSaveNameRole && index.column() == 0)) {
        if (!file) return {};
        const auto it = names_.find(files_[row].descriptor_id);
        const DeletedName* name = it == names_.end() ? nullptr : &it->second;
        return role == Qt::ToolTipRole ? deleted_row_tooltip(name) : deleted_save_name(name);
    }
    if (index.column() != 0) return {};
    switch (role) {
    case Qt::CheckStateRole: return int(ticked_.count(index.row()) ? Qt::Checked : Qt::Unchecked);
    case Qt::DecorationRole: return images_.value(image);
    case kImageIndexRole: return image;
    case kDescriptorRole: return file ? QVariant::fromValue<uint32_t>(files_[row].descriptor_id) : QVariant();
    default: return {};
    }
}

void ScanRowsModel::set_names(DeletedNames names) {
    names_ = std::move(names);
    if (shown_ > 0) emit dataChanged(index(0, 0), index(shown_ - 1, columnCount() - 1), {Qt::ToolTipRole, kSaveNameRole});
}

Qt::ItemFlags ScanRowsModel::flags(const QModelIndex& index) const {
    Qt::ItemFlags f = QAbstractItemModel::flags(index);
    if (index.isValid() && index.column() == 0) f |= Qt::ItemIsUserCheckable;
    return f;
}

bool ScanRowsModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    if (role != Qt::CheckStateRole || !index.isValid() || index.column() != 0 || index.row() >= shown_) return false;
    if (value.toInt() == int(Qt::Checked)) ticked_.insert(index.row());
    else ticked_.erase(index.row());
    emit dataChanged(index, index, {Qt::CheckStateRole});
    return true;
}

QVariant ScanRowsModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 || section >= columns().size()) return {};
    return columns()[section];
}

bool ScanRowsModel::canFetchMore(const QModelIndex& parent) const {
    return !parent.isValid() && !inserting_ && shown_ < held();
}

void ScanRowsModel::fetchMore(const QModelIndex& parent) {
    if (parent.isValid() || inserting_) return;
    // A view's rows are counted in int: past that the rest stay held, unshown.
    const int64_t next = std::min<int64_t>({held(), int64_t(shown_) + kPage, int64_t(INT32_MAX)});
    if (next <= shown_) return;
    inserting_ = true;
    beginInsertRows({}, shown_, int(next - 1));
    shown_ = int(next);
    endInsertRows();
    inserting_ = false;
}

} // namespace ds::ui
