// The window while a scan or an export runs on its thread: what is disabled,
// what the status line says, how Esc, "stop" and closing end the work, and
// how rows travel; the window made larger; the keyboard.

#include "vmfs/store.h"
#include "gui_support.h"

#include "ui/disk_settings_dialog.h"
#include "ui/datastore_window.h"
#include "ui/status_text.h"
#include "ui/work.h"
#include "text/progress_text.h"

#include <QAction>
#include <QGroupBox>
#include <QApplication>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QTreeView>

#include <condition_variable>
#include <filesystem>
#include <mutex>

using namespace guitest;
using ds::DatastoreWindow;

namespace {

// Passes reads through until it is shut; then a read touching [from, to)
// waits until it is opened again, so that a test catches the work in the
// middle, with a known part done.
class GateSource final : public ds::SectorSource {
public:
    int64_t from = 0, to = INT64_MAX;

    bool read(const std::string& d, int64_t off, int64_t len, uint8_t* buf) override {
        {
            std::unique_lock<std::mutex> lock(m_);
            if (shut_ && off < to && off + len > from) {
                held_ = true;
                cv_.notify_all();
                cv_.wait(lock, [&] { return !shut_; });
                held_ = false;
            }
        }
        return posix_->read(d, off, len, buf);
    }
    int64_t size(const std::string& d) override { return posix_->size(d); }
    void close_all() override { posix_->close_all(); }

    void shut() {
        std::lock_guard<std::mutex> lock(m_);
        shut_ = true;
    }
    void open() {
        std::lock_guard<std::mutex> lock(m_);
        shut_ = false;
        cv_.notify_all();
    }
    // True once a read waits at the gate.
    bool wait_held() {
        std::unique_lock<std::mutex> lock(m_);
        return cv_.wait_for(lock, std::chrono::seconds(30), [&] { return held_; });
    }

private:
    std::mutex m_;
    std::condition_variable cv_;
    bool shut_ = false;
    bool held_ = false;
    std::unique_ptr<ds::SectorSource> posix_ = ds::make_posix_source();
};

// Opens the gate when a test ends early, before its window waits for the
// work it holds.
struct OpenOnExit {
    GateSource& gate;
    ~OpenOnExit() { gate.open(); }
};

class WindowAtWork : public GuiTest {
protected:
    GateSource gate;
    void SetUp() override {
        GuiTest::SetUp();
        new_store(gate);
        add_disk(store, demo_image());
    }
    void TearDown() override {
        gate.open();
        new_store();   // the datastore reads through the gate: it goes first
        GuiTest::TearDown();
    }

    const dsb::ObjectExpect& object(const std::string& path) {
        for (const auto& o : demo().objects)
            if (o.path == path) return o;
        throw std::runtime_error("no " + path + " in the demo");
    }
    // Where a file's k-th block of data lies on the demo image.
    int64_t data_offset(const std::string& path, size_t k) {
        return int64_t(demo().start_sector * 512 + 0x1100000 +
                       int64_t(object(path).data_ids.at(k) >> 6) * int64_t(demo().block_size));
    }
};

void dblclick(DatastoreWindow& w, const QModelIndex& node) { list(w, node); }

// Browses and lists / and /vm1; returns the node of /vm1.
QModelIndex open_vm1(DatastoreWindow& w) {
    w.browse();
    QModelIndex root = top_node(w);
    dblclick(w, root);
    QModelIndex vm1 = child(root, "vm1");
    dblclick(w, vm1);
    return vm1;
}

// Every command that starts work or changes what work reads.
std::vector<bool> command_states(const DatastoreWindow& w) {
    return {w.browse_button->isEnabled(),       w.deleted_button->isEnabled(),          w.formatted_button->isEnabled(),
            w.lost_disks_button->isEnabled(),       w.disks_action->isEnabled(),    w.browse_action->isEnabled(),
            w.deleted_action->isEnabled(), w.lost_disks_action->isEnabled(), w.tree_save_action->isEnabled(),
            w.list_save_action->isEnabled()};
}

const std::vector<bool> kAllEnabled(10, true);
const std::vector<bool> kAllDisabled(10, false);

} // namespace

// A long export: the commands are disabled and the status line says how far
// it is; Esc stops it, the file keeps what was written, and everything is
// enabled again.
TEST_F(WindowAtWork, AnExportStoppedByEscKeepsItsPartialFile) {
    DatastoreWindow w(store);
    OpenOnExit opener{gate};
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
    open_vm1(w);
    QModelIndex vm2 = child(top_node(w), "vm2");
    dblclick(w, vm2);
    EXPECT_EQ(command_states(w), kAllEnabled);
    EXPECT_TRUE(w.stop_button->isHidden());

    // The copy of the 300 MiB disk passes its first four blocks and waits
    // at the fifth.
    const auto& flat = object("/vm2/vm2-flat.vmdk");
    const int64_t bs = int64_t(demo().block_size);
    gate.from = data_offset(flat.path, 4);
    gate.to = gate.from + 1;
    gate.shut();
    dstest::TempDir out;
    const std::string host = out.file("flat");
    prompts.confirm_answers = {true};
    prompts.save_answers = {QString::fromStdString(host)};
    w.tree->setCurrentIndex(child(vm2, "vm2-flat.vmdk"));
    w.save_tree_node();
    ASSERT_TRUE(w.busy());
    ASSERT_TRUE(gate.wait_held());

    EXPECT_EQ(command_states(w), kAllDisabled);
    EXPECT_TRUE(w.stop_button->isVisible() && w.stop_button->isEnabled());
    EXPECT_EQ(w.stop_button->text(), "stop");
    // Where it stands: bytes of the total, the rate and the time left.
    const QString stands =
        "exporting vm2-flat.vmdk: " + QString::fromStdString(ds::size_text(double(4 * bs))) + " of 300.00 MiB, ";
    ASSERT_TRUE(QTest::qWaitFor([&] { return w.status_line->text().startsWith(stands); }, 10000))
        << w.status_line->text().toStdString();
    EXPECT_TRUE(w.status_line->text().contains("B/s, ")) << w.status_line->text().toStdString();
    EXPECT_TRUE(w.status_line->text().endsWith(" left")) << w.status_line->text().toStdString();
    EXPECT_EQ(w.gauge->value(), int(4 * bs * 100 / int64_t(flat.size)));
    // The window answers meanwhile: the tree can still be listed.
    QModelIndex snapshots = child(child(top_node(w), "vm1"), "snapshots");
    dblclick(w, snapshots);
    EXPECT_EQ(texts(snapshots), QStringList("vm1-Snapshot1.vmsn"));

    QTest::keyClick(w.tree, Qt::Key_Escape);
    EXPECT_EQ(w.status_line->text(), "vm2-flat.vmdk: stopping");
    gate.open();
    finish(w);
    // It stopped after the piece in hand; the file holds exactly what the
    // box says, the disk's first bytes.
    ASSERT_EQ(prompts.messages.size(), 1);
    ASSERT_TRUE(prompts.messages.front().startsWith("export cancelled|written:"));
    const int64_t written = prompts.messages.front().section(':', 1).toLongLong();
    EXPECT_GE(written, 4 * bs);
    EXPECT_LT(written, int64_t(flat.size));
    EXPECT_EQ(dstest::read_file(host), dsb::materialize(flat.content, 0, uint64_t(written)));
    EXPECT_EQ(command_states(w), kAllEnabled);
    EXPECT_TRUE(w.stop_button->isHidden());
    EXPECT_FALSE(w.busy());
}

// "stop" ends a scan where it stands, with the rows found so far; while it
// ran, the commands were disabled and calling them did nothing.
TEST_F(WindowAtWork, AScanRunsWithItsCommandsDisabledAndStops) {
    DatastoreWindow w(store);
    OpenOnExit opener{gate};
    w.show();
    open_vm1(w);
    w.scan_deleted();
    finish(w);
    ASSERT_EQ(prompts.messages, QStringList("finish"));
    const int rows = list_rows(w);
    ASSERT_GT(rows, 0);
    prompts.messages.clear();

    ds::internals(store).disk.reset();
    gate.shut();   // every read of the next scan waits
    w.scan_lost_disks();
    ASSERT_TRUE(gate.wait_held());
    EXPECT_EQ(command_states(w), kAllDisabled);
    EXPECT_EQ(w.status_line->text(), "virtual-disk scan: 0 rows found");
    // A click in the tree waits for the scan, and the status line says so.
    QModelIndex snapshots = child(child(top_node(w), "vm1"), "snapshots");
    dblclick(w, snapshots);
    EXPECT_EQ(children(snapshots), 0);
    EXPECT_EQ(w.status_line->text(), "virtual-disk scan: 0 rows found; browsing waits until the scan ends (Esc stops it)");
    // Nothing else starts: not by the handlers, not by the disabled buttons.
    const int before = children(top_node(w));
    w.browse();
    w.scan_formatted();
    w.deleted_button->click();
    w.open_disk_settings();
    w.tree->setCurrentIndex(top_node(w));
    w.save_tree_node();
    EXPECT_TRUE(prompts.confirmations.isEmpty());
    EXPECT_FALSE(w.scan_list->isHidden());
    EXPECT_EQ(children(top_node(w)), before);

    w.stop_button->click();
    gate.open();
    finish(w);
    EXPECT_EQ(prompts.messages, QStringList("scan cancelled"));
    EXPECT_EQ(command_states(w), kAllEnabled);
    EXPECT_EQ(w.status_line->text(), "");
    dblclick(w, snapshots);
    EXPECT_EQ(texts(snapshots), QStringList("vm1-Snapshot1.vmsn"));
}

// The window holds a bounded number of rows and nodes together, whatever a
// datastore claims: a listing or a scan past it shows what fits and says so.
TEST_F(WindowAtWork, ListsAndScansStopAtWhatTheWindowHolds) {
    DatastoreWindow w(store);
    w.show();
    w.browse();
    QModelIndex root = top_node(w);
    w.scan_deleted();
    finish(w);
    const int rows = list_rows(w);
    ASSERT_GT(rows, 1);
    prompts.messages.clear();

    // Room for the root node, the list and one more node.
    w.set_shown_limit(1 + rows + 1);
    dblclick(w, root);
    EXPECT_EQ(children(root), 1);
    ASSERT_EQ(prompts.messages.size(), 1);
    EXPECT_EQ(prompts.messages.front(), ds::ui::shown_limit_message(rows + 2));
    EXPECT_TRUE(prompts.messages.front().startsWith("the window shows at most "));
    prompts.messages.clear();

    // The list begins anew with each scan: room for all rows but one.
    w.set_shown_limit(2 + rows - 1);
    w.scan_deleted();
    finish(w);
    EXPECT_EQ(list_rows(w), rows - 1);
    EXPECT_EQ(prompts.messages, QStringList(ds::ui::shown_limit_message(rows + 1)));
    prompts.messages.clear();

    // Room for every row: the scan ends as it always did.
    w.set_shown_limit(2 + rows);
    w.scan_deleted();
    finish(w);
    EXPECT_EQ(list_rows(w), rows);
    EXPECT_EQ(prompts.messages, QStringList("finish"));
}

// Closing during an export asks first; "No" lets it run to its end, "Yes"
// stops it and the window closes once it has said so. A scan is stopped
// without a question.
TEST_F(WindowAtWork, ClosingAsksFirstDuringAnExport) {
    DatastoreWindow w(store);
    OpenOnExit opener{gate};
    w.show();
    QModelIndex vm1 = open_vm1(w);
    // Each copy waits at its first block, before anything was written.
    gate.from = data_offset("/vm1/vm1.log", 0);
    gate.to = gate.from + 1;
    dstest::TempDir out;

    for (bool stop : {false, true}) {
        SCOPED_TRACE(stop ? "stop" : "go on");
        gate.shut();
        prompts.messages.clear();
        prompts.confirmations.clear();
        prompts.confirm_answers = {true, stop};
        prompts.save_answers = {QString::fromStdString(out.file(stop ? "b" : "a"))};
        w.tree->setCurrentIndex(child(vm1, "vm1.log"));
        w.save_tree_node();
        ASSERT_TRUE(gate.wait_held());
        w.close();
        EXPECT_EQ(prompts.confirmations.last(), "an export is running|stop it and close the window");
        EXPECT_TRUE(w.isVisible());
        gate.open();
        finish(w);
        QTest::qWait(20);
        if (stop) {
            EXPECT_EQ(prompts.messages, QStringList("export cancelled|written:1048576"));
            EXPECT_FALSE(w.isVisible());
        } else {
            EXPECT_EQ(prompts.messages, QStringList(success_text(content_of(object("/vm1/vm1.log")))));
            EXPECT_TRUE(w.isVisible());
        }
    }

    w.show();
    prompts.messages.clear();
    prompts.confirmations.clear();
    ds::internals(store).disk.reset();   // the scan's first read reaches the disk, and waits
    gate.from = 0;
    gate.to = INT64_MAX;
    gate.shut();
    w.scan_deleted();
    ASSERT_TRUE(gate.wait_held());
    w.close();
    gate.open();
    finish(w);
    QTest::qWait(20);
    EXPECT_TRUE(prompts.confirmations.isEmpty());
    EXPECT_EQ(prompts.messages, QStringList("scan cancelled"));
    EXPECT_FALSE(w.isVisible());
}

// Until the first browse the status line says where to begin.
TEST_F(WindowAtWork, TheStatusLineSaysWhereToBegin) {
    ds::Datastore empty;
    DatastoreWindow w(empty);
    EXPECT_EQ(w.status_line->text(), "FILE › DISKS SETTING to add the datastore's disks or images");
    DatastoreWindow v(store);
    EXPECT_EQ(v.status_line->text(), ds::ui::status_not_opened());
    v.browse();
    EXPECT_EQ(v.status_line->text(), "");
    // A copy's line: sizes, the rate so far and the time left at that rate.
    EXPECT_EQ(ds::ui::status_export("a.vmdk", 3 << 20, 12 << 20, 1.5),
              "exporting a.vmdk: 3.00 MiB of 12.00 MiB, 2.00 MiB/s, 0:05 left");
    EXPECT_EQ(ds::ui::status_export("a.vmdk", 0, 512, 0), "exporting a.vmdk: 0 B of 512 B");
    EXPECT_EQ(ds::ui::status_export("a.vmdk", 512, 512, 2), "exporting a.vmdk: 512 B of 512 B, 256 B/s");
}

// Rows travel in batches, in order, all before the end.
TEST(WorkRows, TravelInBatchesInOrderBeforeTheEnd) {
    ds::ui::Work work;
    QSignalSpy batches(&work, &ds::ui::Work::rowsArrived);
    std::vector<int> got;
    bool ended_after_rows = false;
    const int n = 25000;
    QObject::connect(&work, &ds::ui::Work::rowsArrived, &work, [&](const QVariantList& rows) {
        for (const QVariant& v : rows) got.push_back(v.toInt());
    });
    QObject::connect(&work, &ds::ui::Work::ended, &work, [&] { ended_after_rows = int(got.size()) == n; });
    bool completed = false;
    work.start([&](ds::ui::Work& wk) {
        for (int i = 0; i < n; ++i) wk.add(i);
        return std::function<void()>([&] { completed = true; });
    });
    ASSERT_TRUE(QTest::qWaitFor([&] { return ended_after_rows; }, 10000));
    work.join()();
    EXPECT_TRUE(completed);
    ASSERT_EQ(got.size(), size_t(n));
    for (int i = 0; i < n; ++i) ASSERT_EQ(got[size_t(i)], i);
    EXPECT_LE(batches.count(), n / ds::ui::Work::kBatchRows + 20);
    EXPECT_GE(batches.count(), n / ds::ui::Work::kBatchRows);
}

// Made larger, the tree and the list take the room; the pane, the buttons
// and the banner keep their places to the right edge, the gauge and the
// status line to the bottom. It never gets smaller than its first size.
TEST_F(WindowAtWork, TheWindowGrowsAndNeverShrinksBelowItsSize) {
    DatastoreWindow w(store);
    w.show();
    w.resize(1400, 1000);
    QApplication::processEvents();
    ASSERT_EQ(w.size(), QSize(1400, 1000));
    const int dx = 397, dy = 263;
    EXPECT_EQ(w.tree->geometry(), QRect(8, 8, 537 + dx, 497 + dy));
    EXPECT_EQ(w.scan_list->geometry(), w.tree->geometry());
    EXPECT_EQ(w.info_box->geometry(), QRect(568 + dx, 8, 305, 457 + dy));
    for (QPushButton* b : {w.browse_button, w.deleted_button, w.formatted_button, w.lost_disks_button}) EXPECT_EQ(b->x(), 880 + dx) << b->objectName().toStdString();
    EXPECT_EQ(w.banner->geometry(), QRect(552 + dx, 472 + dy, 433, 193));
    EXPECT_EQ(w.gauge->geometry(), QRect(9, 511 + dy, 320, 28));
    EXPECT_EQ(w.status_line->geometry(), QRect(9, 545 + dy, 535 + dx, 40));

    w.resize(800, 500);
    QApplication::processEvents();
    EXPECT_EQ(w.size(), QSize(1003, 737));
    EXPECT_EQ(w.tree->geometry(), QRect(8, 8, 537, 497));
    EXPECT_EQ(w.lost_disks_button->geometry(), QRect(880, 152, 121, 25));
    EXPECT_EQ(w.gauge->geometry(), QRect(9, 511, 320, 28));
}

// The disk settings window grows too, and a found disk's line shows its
// whole path on hover, however narrow the list.
TEST_F(WindowAtWork, TheDiskSettingsWindowGrowsAndShowsWholePaths) {
    ds::set_drive_lister([] {
        ds::DriveInfo d;
        d.number = 0;
        d.name = "sda";
        d.device = demo_image();
        d.total_sectors = 1084416;
        return std::vector<ds::DriveInfo>{d};
    });
    ds::internals(store).lvm.loaded_extents = 0;
    ds::DiskSettingsDialog frm(store);
    frm.show();
    frm.resize(995, 538);
    QApplication::processEvents();
    EXPECT_EQ(frm.found_list->geometry(), QRect(16, 64, 221, 417));
    EXPECT_EQ(frm.disk_list->geometry(), QRect(356, 24, 481, 457));
    EXPECT_EQ(frm.use_found_button->pos(), QPoint(260, 88));
    EXPECT_EQ(frm.add_button->pos(), QPoint(852, 24));
    EXPECT_EQ(frm.remove_all_button->pos(), QPoint(868, 72));
    frm.resize(100, 100);
    EXPECT_EQ(frm.size(), QSize(695, 338));

    frm.detect();
    ASSERT_EQ(frm.found_list->count(), 1);
    ASSERT_EQ(frm.disk_list->count(), 1);
    const QString device = QString::fromStdString(demo_image());
    EXPECT_EQ(frm.found_list->item(0)->toolTip(), device + "|0|");
    EXPECT_EQ(frm.disk_list->item(0)->toolTip(), device + "|2048|");
}

// Return and the right arrow list a directory node as the double-click
// does; the context-menu key opens "save out" on the current node.
TEST_F(WindowAtWork, TheKeyboardListsAndSavesOut) {
    DatastoreWindow w(store);
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
    w.browse();
    QModelIndex root = top_node(w);
    w.tree->setFocus();
    w.tree->setCurrentIndex(root);
    QTest::keyClick(w.tree, Qt::Key_Return);
    listed(w);
    ASSERT_GT(children(root), 0);
    EXPECT_TRUE(w.tree->isExpanded(root));
    QModelIndex vm1 = child(root, "vm1");
    w.tree->setCurrentIndex(vm1);
    QTest::keyClick(w.tree, Qt::Key_Right);
    listed(w);
    EXPECT_TRUE(texts(vm1).contains("vm1.vmx")) << texts(vm1).join(",").toStdString();
    // Return on a listed node closes and opens it, as the double-click does.
    QTest::keyClick(w.tree, Qt::Key_Return);
    EXPECT_FALSE(w.tree->isExpanded(vm1));

    w.tree->setCurrentIndex(child(vm1, "vm1.vmx"));
    QTest::keyClick(w.tree, Qt::Key_Menu);
    ASSERT_TRUE(w.tree_menu->isVisible());
    EXPECT_EQ(w.tree_menu->activeAction(), w.tree_save_action);
    QTest::keyClick(w.tree_menu, Qt::Key_Return);
    EXPECT_EQ(prompts.confirmations, QStringList("sure to export file: vm1.vmx  OUT"));
}

// A folder is read on a thread of its own: while the disk holds its
// listing the window answers, a second folder asked for meanwhile is listed
// after it, once, and asking for the first again adds nothing.
TEST_F(WindowAtWork, AFolderIsListedOffTheEventLoopInTheOrderAsked) {
    DatastoreWindow w(store);
    OpenOnExit opener{gate};
    w.browse();
    QModelIndex root = top_node(w);
    dblclick(w, root);
    QModelIndex vm1 = child(root, "vm1");
    QModelIndex vm2 = child(root, "vm2");
    ASSERT_TRUE(vm1.isValid() && vm2.isValid());
    ds::internals(store).disk.reset();   // the folders are read from the disk, not the cache
    gate.shut();
    QSignalSpy ended(&w, &DatastoreWindow::listingEnded);
    for (QModelIndex n : {vm1, vm2, vm1}) {
        w.tree->setCurrentIndex(n);
        w.list_selected_folder();
    }
    ASSERT_TRUE(gate.wait_held());
    EXPECT_TRUE(w.listing());
    bool answered = false;
    QTimer::singleShot(0, &w, [&] { answered = true; });
    EXPECT_TRUE(QTest::qWaitFor([&] { return answered; }, 5000)) << "the window did not answer";
    EXPECT_EQ(children(vm1), 0);
    gate.open();
    listed(w);
    EXPECT_EQ(ended.count(), 1);
    EXPECT_TRUE(texts(vm1).contains("vm1.vmx")) << texts(vm1).join(",").toStdString();
    EXPECT_EQ(texts(vm2), QStringList({"vm2-flat.vmdk", "vm2-thin.vmdk", "résumé-日本.txt"}));
    EXPECT_TRUE(w.tree->isExpanded(vm1) && w.tree->isExpanded(vm2));
    EXPECT_TRUE(prompts.messages.isEmpty());
}
