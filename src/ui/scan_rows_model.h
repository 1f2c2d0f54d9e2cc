#pragma once
// The rows a scan found, kept as the scan gave them and turned into text
// only when the view shows them: a hundred thousand rows cost their compact
// records, not a hundred thousand items. The view is handed rows a page at a
// time as it scrolls (canFetchMore/fetchMore).

#include "vmfs/datastore.h"

#include <QAbstractItemModel>
#include <QIcon>
#include <QList>

#include <unordered_set>
#include <vector>

namespace ds::ui {

class ScanRowsModel : public QAbstractItemModel {
    Q_OBJECT

public:
    // Rows handed to the view per fetchMore().
    static constexpr int kPage = 1000;

    explicit ScanRowsModel(QList<QIcon> images, QObject* parent = nullptr);

    // One kind of row at a time: adding the other kind empties the model.
    void add(const std::vector<FileRow>& rows);
    void add(const std::vector<PartitionRow>& rows);
    void clear();
    // The names directory entries still give deleted files: the rows keep
    // their columns, the name goes into the tooltip and the save name.
    void set_names(DeletedNames names);
    // Rows held, shown or not yet.
    int64_t held() const { return int64_t(files_.size() + partitions_.size()); }
    // The lost-disk row shown at row, or nullptr (a file row, or none).
    const PartitionRow* partition_at(int row) const;

    QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
    QModelIndex parent(const QModelIndex& child) const override;
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    // A row's box can be ticked, as the operator's own mark: nothing reads it.
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role) override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    bool canFetchMore(const QModelIndex& parent) const override;
    void fetchMore(const QModelIndex& parent) override;

private:
    QList<QIcon> images_;
    std::vector<FileRow> files_;
    std::vector<PartitionRow> partitions_;
    DeletedNames names_;
    std::unordered_set<int> ticked_;   // rows whose box the operator ticked
    int shown_ = 0;   // rows the view has been handed
    bool inserting_ = false;   // a view asking again while it is told of a page waits
};

} // namespace ds::ui
