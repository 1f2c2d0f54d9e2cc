// The window's scan list over its model: a scan of more rows than the window
// once held is listed whole and reached by scrolling, a page at a time, and
// rows that arrive while the list shows its end are shown.

#include "gui_support.h"

#include "ui/datastore_window.h"
#include "ui/scan_rows_model.h"
#include "ui/tree_node.h"

#include <QAbstractItemModelTester>
#include <QAction>
#include <QApplication>
#include <QHeaderView>
#include <QTreeView>

using namespace guitest;
using ds::DatastoreWindow;
using ds::ui::ScanRowsModel;

namespace {

class ScanList : public GuiTest {};

// Scrolls the list to its end until the model has nothing more to hand out.
int scroll_to_end(DatastoreWindow& w) {
    int scrolls = 0;
    while (w.scan_rows->canFetchMore({}) && scrolls < 10000) {
        w.scan_list->scrollToBottom();
        QApplication::processEvents();
        ++scrolls;
    }
    return scrolls;
}

ds::FileRow numbered(int n) {
    ds::FileRow r;
    r.n = n;
    r.descriptor_id = uint32_t(0x400000 + n);
    return r;
}

} // namespace

TEST_F(ScanList, AScanPastTheOldBoundIsListedWholeAndReachedByScrolling) {
    constexpr uint32_t kRows = 110500;   // the window once stopped at 110,000
    dstest::TempDir dir;
    dsb::BenchOptions o;
    o.big_file_size = 4ull << 20;
    o.fdc_slots = kRows + 1024;
    o.old_dirs = 1;
    o.free_subblocks = 16;
    o.dir_entries = 16;
    o.deleted_files = kRows;
    const dsb::BenchSummary sum = dsb::build_bench(dir.path().string(), o);
    add_disk(store, sum.images.at(0), sum.start_sector);

    DatastoreWindow w(store);
    // (Qt's model tester is left to the shorter test: over a hundred
    // thousand rows it takes the best part of half a minute.)
    w.show();
    w.browse();
    w.scan_deleted();
    finish(w);
    EXPECT_EQ(prompts.messages, QStringList("finish"));
    ASSERT_EQ(w.scan_rows->held(), int64_t(kRows));
    // Held as found; the view was handed only what it showed.
    EXPECT_LT(list_rows(w), int(kRows) / 10);
    EXPECT_EQ(cell(list_row(w, 0), 0), "1");

    EXPECT_GT(scroll_to_end(w), 1);
    ASSERT_EQ(list_rows(w), int(kRows));
    EXPECT_EQ(cell(list_row(w, int(kRows) - 1), 0), QString::number(kRows));
    // A new scan's widths are those the list was made with.
    EXPECT_EQ(w.scan_list->columnWidth(2), 180);

    // A row past the old bound is selected and offered for saving out.
    const QModelIndex far = list_row(w, 110200);
    ASSERT_NE(far.data(ds::ui::kDescriptorRole).toUInt(), 0u);
    w.scan_list->setCurrentIndex(far);
    w.list_save_action->trigger();
    EXPECT_EQ(prompts.confirmations, QStringList("sure to export file: FILE 110201  OUT"));

    // The next scan starts from an empty list.
    prompts.messages.clear();
    w.scan_lost_disks();
    finish(w);
    EXPECT_EQ(w.scan_rows->held(), list_rows(w));
    EXPECT_LT(w.scan_rows->held(), int64_t(kRows));
}

TEST_F(ScanList, RowsArrivingWhileTheListShowsItsEndAreShown) {
    DatastoreWindow w(store);
    QAbstractItemModelTester tester(w.scan_rows, QAbstractItemModelTester::FailureReportingMode::Fatal);
    w.show();
    w.scan_list->show();
    // A first page is handed over at once, row by row as they come.
    for (int n = 1; n <= ScanRowsModel::kPage; ++n) w.AddFileRow(numbered(n));
    ASSERT_EQ(list_rows(w), ScanRowsModel::kPage);
    QApplication::processEvents();

    // At the top, a later row waits for the view to scroll to it.
    w.scan_list->scrollToTop();
    QApplication::processEvents();
    w.AddFileRow(numbered(ScanRowsModel::kPage + 1));
    EXPECT_EQ(list_rows(w), ScanRowsModel::kPage);

    // At the end, where no scrolling asks for more, it is shown as it comes.
    scroll_to_end(w);
    w.scan_list->scrollToBottom();
    QApplication::processEvents();
    ASSERT_EQ(list_rows(w), ScanRowsModel::kPage + 1);
    w.AddFileRow(numbered(ScanRowsModel::kPage + 2));
    ASSERT_EQ(list_rows(w), ScanRowsModel::kPage + 2);
    EXPECT_EQ(cell(list_row(w, ScanRowsModel::kPage + 1), 0), QString::number(ScanRowsModel::kPage + 2));

    // A box ticked stays ticked, and only that one.
    const QModelIndex first = list_row(w, 0);
    ASSERT_TRUE(w.scan_rows->flags(first) & Qt::ItemIsUserCheckable);
    ASSERT_TRUE(w.scan_rows->setData(first, int(Qt::Checked), Qt::CheckStateRole));
    EXPECT_EQ(first.data(Qt::CheckStateRole).toInt(), int(Qt::Checked));
    EXPECT_EQ(list_row(w, 1).data(Qt::CheckStateRole).toInt(), int(Qt::Unchecked));

    // The rows of a lost-disk scan replace those of the deleted-file scan.
    w.AddPartitionRow(ds::PartitionRow{});
    EXPECT_EQ(list_rows(w), 1);
    EXPECT_FALSE(list_row(w, 0).data(ds::ui::kDescriptorRole).isValid());
    EXPECT_EQ(list_row(w, 0).data(Qt::CheckStateRole).toInt(), int(Qt::Unchecked));
}
