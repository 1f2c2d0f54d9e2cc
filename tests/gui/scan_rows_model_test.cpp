// The scan list's model: rows handed to the view a page at a time, text
// made only when asked, and the model's contract checked by Qt's tester.

#include "gui_support.h"

#include "ui/artwork.h"
#include "ui/scan_rows_model.h"
#include "ui/tree_node.h"
#include "text/row_text.h"

#include <QAbstractItemModelTester>
#include <QApplication>
#include <QTreeView>

using ds::ui::ScanRowsModel;

namespace {

std::vector<ds::FileRow> file_rows(int n) {
    std::vector<ds::FileRow> rows(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
        rows[size_t(i)].n = i + 1;
        rows[size_t(i)].descriptor_id = uint32_t(0x400000 + i);
        rows[size_t(i)].bytes = i * 512;
    }
    return rows;
}

} // namespace

TEST(ScanRowsModel, HandsRowsOutAPageAtATimeAndPassesTheTester) {
    ScanRowsModel model(ds::ui::image_list());
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
    const int n = 2 * ScanRowsModel::kPage + 7;
    model.add(file_rows(n));
    EXPECT_EQ(model.held(), n);
    EXPECT_EQ(model.rowCount(), 0);
    int pages = 0;
    while (model.canFetchMore({})) {
        model.fetchMore({});
        ++pages;
    }
    EXPECT_EQ(pages, 3);
    ASSERT_EQ(model.rowCount(), n);
    EXPECT_FALSE(model.index(n, 0).isValid());
    EXPECT_FALSE(model.index(0, 7).isValid());

    const ds::FileRow last = file_rows(n).back();
    const auto cells = ds::file_row_cells(last);
    for (int c = 0; c < 7; ++c)
        EXPECT_EQ(model.data(model.index(n - 1, c), Qt::DisplayRole).toString(), QString::fromStdString(cells[size_t(c)]));
    EXPECT_EQ(model.data(model.index(n - 1, 0), ds::ui::kDescriptorRole).toUInt(), last.descriptor_id);
    EXPECT_EQ(model.data(model.index(n - 1, 0), ds::ui::kImageIndexRole).toInt(), 1);
    EXPECT_EQ(model.headerData(6, Qt::Horizontal, Qt::DisplayRole).toString(), "atime");

    // A view over it fetches only what it needs to fill itself.
    QTreeView view;
    ScanRowsModel fresh(ds::ui::image_list());
    fresh.add(file_rows(n));
    view.setModel(&fresh);
    view.resize(400, 300);
    view.show();
    QApplication::processEvents();
    EXPECT_GT(fresh.rowCount(), 0);
    EXPECT_LT(fresh.rowCount(), n);

    // Rows of the other kind replace what was held.
    ds::PartitionRow p;
    p.n = 1;
    model.add(std::vector<ds::PartitionRow>{p});
    EXPECT_EQ(model.held(), 1);
    model.fetchMore({});
    ASSERT_EQ(model.rowCount(), 1);
    EXPECT_FALSE(model.data(model.index(0, 0), ds::ui::kDescriptorRole).isValid());
    model.clear();
    EXPECT_EQ(model.rowCount(), 0);
    EXPECT_FALSE(model.canFetchMore({}));
}
