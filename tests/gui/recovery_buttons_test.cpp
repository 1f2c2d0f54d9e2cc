// The three recovery commands of the main window, their menu items, the
// export of a deleted file from the list, and what the window does while a
// scan runs.

#include "vmfs/store.h"
#include "gui_support.h"
#include "support/time_table.h"

#include "ui/disk_settings_dialog.h"
#include "ui/datastore_window.h"
#include "ui/deleted_row_text.h"
#include "ui/tree_node.h"
#include "vmfs/found_dir.h"
#include "vmfs/fs.h"
#include "vmfs/volume.h"

#include <QAction>
#include <QApplication>
#include <QDateTime>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QProgressBar>
#include <QTest>
#include <QTimer>
#include <QTreeView>

#include <filesystem>
#include <functional>

using namespace guitest;
using ds::DatastoreWindow;

namespace {

// The line under "please view file first": before any browse, and once the
// disks changed after one. The browse button is named by its own text.
const QString kNotYet = QString::fromUtf8("the file system is not open yet: press the browse button (浏览正常文件) first");
const QString kChanged =
    QString::fromUtf8("the disks changed since the last browse: press the browse button (浏览正常文件) to open them again");

class RecoveryButtons : public GuiTest {};

QString when(uint32_t t) {
    return QDateTime::fromSecsSinceEpoch(int32_t(t), Qt::UTC).toString("yyyy-MM-dd hh:mm:ss");
}

QModelIndex row(const DatastoreWindow& w, int i) { return list_row(w, i); }

} // namespace

TEST_F(RecoveryButtons, EachCommandWantsTheFileSystemOpen) {
    add_disk(store, demo_image());
    DatastoreWindow w(store);
    add_node(w, {}, "earlier");
    w.AddFileRow(ds::FileRow{});   // an old row
    w.deleted_action->trigger();
    finish(w);
    EXPECT_EQ(list_rows(w), 0);   // emptied even so
    EXPECT_TRUE(w.scan_list->isHidden());
    w.scan_formatted();
    finish(w);
    w.lost_disks_action->trigger();
    finish(w);
    EXPECT_EQ(prompts.messages, QStringList(3, "please view file first\n" + kNotYet));
    EXPECT_EQ(top_texts(w.tree), QStringList("earlier"));
}

TEST_F(RecoveryButtons, DeletedFilesAreListedAndCanBeSavedOut) {
    add_disk(store, demo_image());
    DatastoreWindow w(store);
    w.browse();
    w.scan_deleted();
    finish(w);
    EXPECT_EQ(prompts.messages, QStringList("finish"));
    EXPECT_FALSE(w.scan_list->isHidden());
    EXPECT_EQ(w.gauge->value(), 100);
    // The old log, and the note of the directory deleted with it.
    ASSERT_EQ(list_rows(w), 2);
    const dsb::ObjectExpect& del = demo().deleted_file;
    EXPECT_EQ(row_cells(row(w, 0)), QStringList({"1", " ", "FILE", ">=1MB,<256MB", when(del.create_time),
                                                 when(del.update_time), when(del.atime)}));
    EXPECT_EQ(row(w, 0).data(ds::ui::kImageIndexRole).toInt(), 1);
    EXPECT_EQ(Qt::CheckState(row(w, 0).data(Qt::CheckStateRole).toInt()), Qt::Unchecked);
    EXPECT_EQ(cell(row(w, 1), 0), "2");
    // The columns stay; the file of the deleted directory shows the name
    // that directory gives it, the old log (whose entry is gone) none.
    EXPECT_EQ(row(w, 0).data(Qt::ToolTipRole).toString(), "");
    EXPECT_EQ(row(w, 1).siblingAtColumn(3).data(Qt::ToolTipRole).toString(),
              QString::fromStdString("$deleted/" + std::to_string(demo().deleted_dir.id) + "/readme.txt"));
    w.scan_list->setCurrentIndex(row(w, 1));
    prompts.confirm_answers = {true};
    w.list_save_action->trigger();   // the save dialog is cancelled
    EXPECT_EQ(prompts.save_suggested, QStringList("readme.txt"));

    dstest::TempDir out;
    prompts.confirm_answers = {true};
    prompts.save_answers = {QString::fromStdString(out.file("old.log"))};
    w.scan_list->setCurrentIndex(row(w, 0));
    w.list_save_action->trigger();
    finish(w);
    EXPECT_EQ(prompts.confirmations, QStringList({"sure to export file: FILE 2  OUT", "sure to export file: FILE 1  OUT"}));
    EXPECT_EQ(prompts.save_suggested, QStringList({"readme.txt", ""}));
    EXPECT_EQ(prompts.messages.last(), success_text(content_of(del)));
    EXPECT_EQ(dstest::read_file(out.file("old.log")), content_of(del));

    w.browse();   // browsing again shows the tree
    EXPECT_TRUE(w.scan_list->isHidden());
}

TEST(DeletedRowText, TooltipShowsThePathAndTheSaveNameIsAHostName) {
    struct Case {
        std::optional<ds::DeletedName> name;
        QString tooltip, save_name;
    };
    auto named = [](std::string raw, std::string path, uint32_t top) {
        return ds::DeletedName{raw, raw, ds::NamedIn::deleted_dir, std::move(path), top};
    };
    const Case cases[] = {
        {std::nullopt, "", ""},
        {named("a.txt", "/keep/a.txt", 0), "/keep/a.txt", "a.txt"},
        {named("b.txt", "sub/b.txt", 68), "$deleted/68/sub/b.txt", "b.txt"},
        // A damaged name cannot choose the directory the file goes to.
        {named("x/../y", "x\\x2f..\\x2fy", 68), "$deleted/68/x\\x2f..\\x2fy", "x%2F..%2Fy"},
        {named("..", "..", 68), "$deleted/68/..", "%2E%2E"},
    };
    for (const Case& c : cases) {
        const ds::DeletedName* n = c.name ? &*c.name : nullptr;
        EXPECT_EQ(ds::ui::deleted_row_tooltip(n), c.tooltip);
        EXPECT_EQ(ds::ui::deleted_save_name(n), c.save_name);
    }
}

TEST_F(RecoveryButtons, DeletedRowsShowEveryTimeOfTheTable) {
    dstest::TempDir dir;
    const std::string img = dir.file("times.img");
    dstest::build_time_table(img);
    add_disk(store, img);
    DatastoreWindow w(store);
    w.browse();
    w.scan_deleted();
    finish(w);
    const std::vector<dstest::TimeCase>& cases = dstest::time_cases();
    ASSERT_EQ(list_rows(w), static_cast<int>(cases.size()));
    for (size_t i = 0; i < cases.size(); ++i)
        for (int col : {4, 5, 6}) EXPECT_EQ(cell(row(w, static_cast<int>(i)), col), cases[i].text) << i << " " << col;
}

TEST_F(RecoveryButtons, LostVirtualDisksShowTheirPartitions) {
    add_disk(store, demo_image());
    DatastoreWindow w(store);
    w.browse();
    w.lost_disks_action->trigger();
    finish(w);
    EXPECT_EQ(prompts.messages, QStringList("finish"));
    ASSERT_EQ(list_rows(w), 1);
    EXPECT_EQ(row_cells(row(w, 0)), QStringList({"1", " ", "NTFS|LINUX交换", "41GB", "", "", ""}));
    EXPECT_EQ(row(w, 0).data(ds::ui::kImageIndexRole).toInt(), 0);

    // No descriptor behind this row: its disk is rebuilt and saved out once
    // the operator says so (answered No here).
    w.scan_list->setCurrentIndex(row(w, 0));
    w.save_list_row();
    finish(w);
    EXPECT_EQ(prompts.confirmations, QStringList("sure to export file: VMDK 1  OUT"));
    EXPECT_EQ(prompts.save_dialogs, 0);
}

TEST_F(RecoveryButtons, FormatRecoveryPutsOldDirectoriesInTheTree) {
    dstest::TempDir dir;
    const dsb::FormattedSummary f = dsb::build_formatted(dir.path().string());
    add_disk(store, f.images.at(0));
    DatastoreWindow w(store);
    w.browse();
    w.scan_list->show();
    w.scan_formatted();
    finish(w);
    EXPECT_EQ(prompts.messages, QStringList("finish"));
    EXPECT_TRUE(w.scan_list->isHidden());
    ASSERT_EQ(top_texts(w.tree), QStringList("ALL DIR FOUND"));
    QModelIndex top = top_node(w);
    EXPECT_EQ(ds::ui::node_of(top).id, 0u);
    ASSERT_EQ(texts(top), QStringList({"DIR1", "DIR2"}));
    EXPECT_EQ(ds::ui::node_of(nth(top, 0)).id, f.intact_dir);
    EXPECT_EQ(ds::ui::node_of(nth(top, 1)).id, f.reused_dir);
    EXPECT_EQ(nth(top, 1).data(ds::ui::kImageIndexRole).toInt(), 0);

    // DIR2's own first block was reused; its entries survive in a sub-block.
    QModelIndex dir2 = nth(top, 1);
    list(w, dir2);
    ASSERT_EQ(texts(dir2), QStringList({"vm-old-flat.vmdk", "vm-old.vmx"}));

    dstest::TempDir out;
    prompts.confirm_answers = {true};
    prompts.save_answers = {QString::fromStdString(out.file("flat"))};
    w.tree->setCurrentIndex(nth(dir2, 0));
    w.save_tree_node();
    finish(w);
    EXPECT_EQ(prompts.messages.last(), success_text(content_of(f.file_in_reused)));
    EXPECT_EQ(dstest::read_file(out.file("flat")), content_of(f.file_in_reused));

    list(w, nth(top, 0));
    EXPECT_EQ(texts(nth(top, 0)), QStringList({"plan.txt", "archive"}));
}

namespace {

// Two one-segment members whose partitions start at different sectors.
struct TwoMembers {
    dstest::TempDir dir;
    std::string m[2] = {dir.file("m0.img"), dir.file("m1.img")};
    TwoMembers() {
        dsb::DatastoreOptions o;
        o.members = {{m[0], 2048, 0, 0, {}, true}, {m[1], 128, 1, 1, {}, true}};
        dsb::ImageBuilder ds(o);
        ds.finish();
    }
};

// Runs the disk settings window from the menu and does `act` in it.
void in_disk_settings(DatastoreWindow& w, const std::function<void(ds::DiskSettingsDialog&)>& act) {
    bool ran = false;
    QTimer::singleShot(0, &w, [&] {
        auto* frm = qobject_cast<ds::DiskSettingsDialog*>(QApplication::activeModalWidget());
        if (!frm) return;
        act(*frm);
        ran = true;
        frm->close();
    });
    w.disks_action->trigger();
    ASSERT_TRUE(ran);
}

} // namespace

// "remove all disks" closes the file system and forgets the found
// directories: no command reads the old datastore through whatever disks
// come next, and every one answers as before a first browse.
TEST_F(RecoveryButtons, RemovingTheDisksClosesTheDatastoreAndForgetsTheFoundDirectories) {
    dstest::TempDir dir;
    const dsb::FormattedSummary f = dsb::build_formatted(dir.path().string());
    add_disk(store, f.images.at(0));
    DatastoreWindow w(store);
    w.browse();
    w.scan_formatted();
    finish(w);
    ASSERT_EQ(ds::internals(store).found_dirs.size(), 2u);
    prompts.messages.clear();

    in_disk_settings(w, [](ds::DiskSettingsDialog& frm) { frm.remove_all_button->click(); });
    EXPECT_EQ(ds::internals(store).lvm.loaded_extents, 0);
    EXPECT_FALSE(ds::fs_is_open(store));
    EXPECT_TRUE(ds::internals(store).found_dirs.empty());
    EXPECT_EQ(w.tree->model()->rowCount(), 0);
    EXPECT_TRUE(w.info_text->toPlainText().isEmpty());

    // The demo joins instead; before a browse nothing of either is read.
    prompts.open_answers = {QString::fromStdString(demo_image())};
    prompts.input_answers = {QString("2048")};
    in_disk_settings(w, [](ds::DiskSettingsDialog& frm) { frm.open_image_action->trigger(); });
    EXPECT_EQ(ds::internals(store).lvm.loaded_extents, 1);
    for (QPushButton* b : {w.deleted_button, w.formatted_button, w.lost_disks_button}) b->click();
    EXPECT_EQ(prompts.messages, QStringList(3, "please view file first\n" + kChanged));
    EXPECT_EQ(w.tree->model()->rowCount(), 0);
}

// A disk that joins the volume closes the file system opened without it.
TEST_F(RecoveryButtons, ADiskThatJoinsClosesTheDatastoreOpenedWithoutIt) {
    TwoMembers v;
    add_disk(store, v.m[0], 2048);
    DatastoreWindow w(store);
    w.browse();
    ASSERT_TRUE(ds::fs_is_open(store));
    ASSERT_EQ(w.tree->model()->rowCount(), 1);
    prompts.open_answers = {QString::fromStdString(v.m[1])};
    prompts.input_answers = {QString("128")};
    in_disk_settings(w, [](ds::DiskSettingsDialog& frm) { frm.open_image_action->trigger(); });
    EXPECT_EQ(ds::internals(store).lvm.loaded_extents, 2);
    EXPECT_FALSE(ds::fs_is_open(store));
    EXPECT_EQ(w.tree->model()->rowCount(), 0);
    prompts.messages.clear();
    w.scan_deleted();
    finish(w);
    // The window's text, then why: the disks changed since the browse.
    EXPECT_EQ(prompts.messages, QStringList("please view file first\n" + kChanged));
    w.browse();   // the browse opens it again, with both members
    EXPECT_TRUE(ds::fs_is_open(store));
    EXPECT_NE(w.info_text->toPlainText().indexOf("lvm loaded_extents:2"), -1);
}
