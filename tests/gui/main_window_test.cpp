// The main window on synthetic datastores: the browse command, the listing of
// directories, the messages of both, the export of the selected node, and the
// modal windows it opens.

#include "gui_support.h"

#include "export/provenance.h"
#include "ui/datastore_window.h"
#include "ui/tree_node.h"
#include "disk/sector_source.h"
#include "vmfs/blockid.h"
#include "vmfs/fs.h"

#include <QApplication>
#include <QGroupBox>
#include <QHeaderView>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QTreeView>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <unistd.h>

using namespace guitest;
using ds::DatastoreWindow;

namespace {

class MainWindow : public GuiTest {};

QStringList pane(const DatastoreWindow& w) { return w.info_text->toPlainText().split('\n'); }

uint32_t data_of(const QModelIndex& n) { return ds::ui::node_of(n).id; }
int image_of(const QModelIndex& n) { return n.data(ds::ui::kImageIndexRole).toInt(); }

void dblclick(DatastoreWindow& w, const QModelIndex& node) { list(w, node); }

// A one-segment datastore small enough to build per test.
struct Tiny {
    dstest::TempDir dir;
    dsb::DatastoreOptions options() {
        dsb::DatastoreOptions o;
        o.path = dir.file("tiny.img");
        return o;
    }
};

void patch_sysfile(dsb::ImageBuilder& ds, dsb::SysFile f, uint64_t offset, int32_t value) {
    std::vector<uint8_t> b(4);
    for (int i = 0; i < 4; ++i) b[i] = uint8_t(uint32_t(value) >> (8 * i));
    ds.write_lv(uint64_t{ds.system_file_first_block(f)} * ds.block_size() + offset, b);
}

} // namespace

TEST_F(MainWindow, StartsWithItsControlsAndNothingRead) {
    DatastoreWindow w(store);
    EXPECT_EQ(w.windowTitle(), "DATUMSIFT1.0");
    EXPECT_EQ(w.size(), QSize(1003, 737));
    EXPECT_TRUE(w.info_text->toPlainText().isEmpty());
    EXPECT_TRUE(w.scan_list->isHidden());
    EXPECT_EQ(w.tree->geometry(), w.scan_list->geometry());
    EXPECT_EQ(w.tree->toolTip(), "");
    EXPECT_EQ(w.info_box->title(), "LVM INFO");
    EXPECT_EQ(w.lost_disks_button->geometry(), QRect(880, 152, 121, 25));
    EXPECT_EQ(w.gauge->maximum(), 100);

    QStringList items;
    for (QAction* a : w.file_menu->actions()) items << a->text();
    EXPECT_EQ(items, QStringList({"Open image…", "DISKS SETTING", "VIEW FILES", "FILE RECOVER", "VMDK FILE RECOVER"}));
    EXPECT_EQ(w.main_menu->actions().last()->text(), "ABOUT");
    EXPECT_EQ(w.main_menu->actions().last()->menu(), nullptr);

    QStringList columns;
    QList<int> widths;
    for (int i = 0; i < w.scan_list->model()->columnCount(); ++i) {
        columns << w.scan_list->model()->headerData(i, Qt::Horizontal).toString();
        widths << w.scan_list->columnWidth(i);
    }
    EXPECT_EQ(columns, QStringList({"sn", "ID", "type", "size", "create at", "last update at ", "atime"}));
    EXPECT_EQ(widths, QList<int>({100, 80, 180, 180, 150, 150, 150}));
}

// The program answers --help and --version on stdout and ends, as any
// command does, instead of opening its window.
TEST(GuiProgram, HelpAndVersionPrintAndExit) {
    auto run = [](const std::string& flag, int& status) {
        const std::string line = std::string("QT_QPA_PLATFORM=offscreen timeout 60 '") + DATUMSIFT_GUI_BIN + "' " + flag;
        std::string out;
        FILE* p = ::popen(line.c_str(), "r");
        if (!p) return out;
        char buf[4096];
        for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
        status = ::pclose(p);
        return out;
    };
    int status = -1;
    EXPECT_EQ(run("--version", status), std::string("datumsift-gui ") + ds::program_version() + "\n");
    EXPECT_EQ(status, 0);
    for (const char* flag : {"--help", "-h"}) {
        status = -1;
        const std::string help = run(flag, status);
        EXPECT_EQ(status, 0) << flag;
        EXPECT_EQ(help.rfind("Usage: datumsift-gui", 0), 0u) << help;
        for (const char* named : {"--version", "--lang en"}) EXPECT_NE(help.find(named), std::string::npos) << help;
    }
}

TEST_F(MainWindow, BrowseWithoutDisksOnlyAsksForThem) {
    DatastoreWindow w(store);
    w.info_text->setPlainText("earlier pane");
    add_node(w, {}, "earlier node");
    w.scan_list->show();
    w.browse();
    EXPECT_EQ(prompts.messages, QStringList("please set disks first"));
    EXPECT_EQ(w.info_text->toPlainText(), "earlier pane");
    EXPECT_EQ(top_texts(w.tree), QStringList("earlier node"));
    EXPECT_TRUE(w.scan_list->isHidden());
}

TEST_F(MainWindow, BrowseFillsThePaneAndPutsTheRoot) {
    add_disk(store, demo_image());
    DatastoreWindow w(store);
    w.setWindowTitle("changed");
    w.browse_action->trigger();
    EXPECT_TRUE(prompts.messages.isEmpty()) << prompts.messages.join(',').toStdString();
    EXPECT_EQ(w.windowTitle(), "DATUMSIFT1.0");
    // One member: two 256 MiB segments behind the 17 MiB before its data area.
    EXPECT_EQ(pane(w), QStringList({"lvm numofextents:1", "lvm size:536870912", "lvm loaded_extents:1",
                                    QString::fromStdString("1>" + demo_image() + "|size:554696704"),
                                    "-------------------------------", "FSINFO:", "blocksize:1048576",
                                    "subblocksize:65536", "fdcheader_size:65536", "fdcbitmap_count:64"}));
    ASSERT_EQ(top_texts(w.tree), QStringList("/"));
    QModelIndex root = top_node(w);
    EXPECT_EQ(data_of(root), 4u);
    EXPECT_EQ(image_of(root), 0);
    EXPECT_EQ(children(root), 0);
    EXPECT_EQ(w.tree->toolTip(), "双击展开目录");
}

TEST_F(MainWindow, DoubleClickListsADirectoryOnce) {
    add_disk(store, demo_image());
    DatastoreWindow w(store);
    w.browse();
    QModelIndex root = top_node(w);
    dblclick(w, root);
    ASSERT_EQ(texts(root), QStringList({".fbb.sf", ".fdc.sf", ".pbc.sf", ".sbc.sf", "vm1", "vm2"}));
    QList<int> images;
    for (int i = 0; i < children(root); ++i) images << image_of(nth(root, i));
    EXPECT_EQ(images, QList<int>({1, 1, 1, 1, 0, 0}));
    EXPECT_EQ(data_of(child(root, "vm1")), demo().ids.at("/vm1"));
    EXPECT_TRUE(w.tree->isExpanded(root));

    dblclick(w, root);
    EXPECT_EQ(children(root), 6);

    // Through the mouse, as the operator does it; the name is UTF-8 on disk.
    w.show();
    QModelIndex vm2 = child(root, "vm2");
    QPoint at = w.tree->visualRect(vm2).center();
    QTest::mouseClick(w.tree->viewport(), Qt::LeftButton, {}, at);
    QTest::mouseDClick(w.tree->viewport(), Qt::LeftButton, {}, at);
    listed(w);
    ASSERT_EQ(texts(vm2), QStringList({"vm2-flat.vmdk", "vm2-thin.vmdk", "résumé-日本.txt"}));
    EXPECT_EQ(nth(vm2, 2).data().toString().size(), 13);
    EXPECT_EQ(data_of(nth(vm2, 2)), demo().ids.at("/vm2/résumé-日本.txt"));
    EXPECT_EQ(image_of(nth(vm2, 2)), 1);
    EXPECT_TRUE(w.tree->isExpanded(vm2));

    dblclick(w, nth(vm2, 0));   // a file: nothing happens
    EXPECT_EQ(children(nth(vm2, 0)), 0);

    w.tree->clearSelection();
    w.tree->setCurrentIndex({});
    w.list_selected_folder();
    listed(w);
    EXPECT_TRUE(prompts.messages.isEmpty());
}

TEST_F(MainWindow, ListingSkipsOtherTypesAndReportsUnreadableDirectories) {
    Tiny t;
    dsb::ImageBuilder ds(t.options());
    const uint32_t empty = ds.mkdir("/empty");
    ds.add_file("/note.txt", dsb::text_file("n"));
    ds.add_dirent(ds.root(), 4, empty, "type4");
    ds.add_dirent(ds.root(), 6, empty, "link6");
    ds.add_dirent(ds.root(), 2, ds::fd_build(5000, 0), "broken");
    ds.finish();
    add_disk(store, t.dir.file("tiny.img"));
    DatastoreWindow w(store);
    w.browse();
    QModelIndex root = top_node(w);
    dblclick(w, root);
    EXPECT_EQ(texts(root), QStringList({".fbb.sf", ".fdc.sf", ".pbc.sf", ".sbc.sf", "empty", "note.txt", "broken"}));

    QModelIndex e = child(root, "empty");
    dblclick(w, e);
    dblclick(w, e);
    EXPECT_EQ(children(e), 0);
    EXPECT_TRUE(prompts.messages.isEmpty());

    dblclick(w, child(root, "broken"));
    // The window's text, then which directory could not be read and why.
    ASSERT_EQ(prompts.messages.size(), 1);
    EXPECT_EQ(prompts.messages[0].section('\n', 0, 0), "dir open error");
    EXPECT_TRUE(prompts.messages[0].section('\n', 1).startsWith("/broken: the directory's descriptor could not be read ("))
        << prompts.messages[0].toStdString();
}

TEST_F(MainWindow, EveryBrowseMessageInItsSituation) {
    struct Case {
        const char* message;
        bool pane;        // the pane was filled before the message
        bool root_only;   // the tree holds "/" alone afterwards
        std::function<void(dsb::DatastoreOptions&)> option;
        std::function<void(dsb::ImageBuilder&)> damage;
    };
    using dsb::SysFile;
    const Case cases[] = {
        {"fs info read error", false, false, [](auto& o) { o.bad_fs_magic = true; }, {}},
        {"fdc open error", true, false, {}, [](auto& ds) { patch_sysfile(ds, SysFile::Fdc, 0, 0); }},
        // Item 0 of ".fdc.sf" then lies beyond the one-block stand-in.
        {"root_dir open error", true, true, {}, [](auto& ds) { patch_sysfile(ds, SysFile::Fdc, 8, 0x100000); }},
        // Nothing is read through ".fbb.sf": only a descriptor that cannot be
        // read (a zeroed one has size 0) stops the opening.
        {"fbb open error", true, true, {},
         [](dsb::ImageBuilder& ds) { ds.write_lv(ds.item_lv_offset(ds.system_file(SysFile::Fbb)), std::vector<uint8_t>(2048)); }},
        {"pbc open error", true, true, {}, [](auto& ds) { patch_sysfile(ds, SysFile::Pbc, 12, -1); }},
        {"sbc open error", true, true, {}, [](auto& ds) { patch_sysfile(ds, SysFile::Sbc, 4, 0); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        new_store();
        prompts.messages.clear();
        Tiny t;
        dsb::DatastoreOptions o = t.options();
        if (c.option) c.option(o);
        {
            dsb::ImageBuilder ds(o);
            ds.finish();
            if (c.damage) c.damage(ds);
        }
        add_disk(store, t.dir.file("tiny.img"));
        DatastoreWindow w(store);
        add_node(w, {}, "earlier");
        w.browse();
        EXPECT_EQ(prompts.messages, QStringList(c.message));
        EXPECT_EQ(w.info_text->toPlainText().startsWith("lvm numofextents:1"), c.pane);
        EXPECT_EQ(top_texts(w.tree), QStringList(c.root_only ? "/" : "earlier"));
        EXPECT_EQ(w.tree->toolTip(), "");
    }
}

TEST_F(MainWindow, SaveOutWritesTheFileByteForByte) {
    add_disk(store, demo_image());
    dstest::TempDir out;
    DatastoreWindow w(store);
    w.browse();
    QModelIndex root = top_node(w);
    dblclick(w, root);
    QModelIndex vm1 = child(root, "vm1");
    dblclick(w, vm1);
    // Inline, sub-blocks, 3 MiB + 5 in file blocks, and a directory as its entries.
    for (const char* path : {"/vm1/vm1.vmx", "/vm1/vm1.nvram", "/vm1/vm1.log", "/vm1"}) {
        SCOPED_TRACE(path);
        const std::string p = path;
        QModelIndex node = p == "/vm1" ? vm1 : child(vm1, QString::fromStdString(p.substr(5)));
        ASSERT_TRUE(node.isValid());
        const std::string host = out.file(node.data().toString().toStdString() + ".out");
        dstest::write_file(host, std::vector<uint8_t>(5000000, 0xEE));   // replaced without a question
        prompts.messages.clear();
        prompts.confirmations.clear();
        prompts.confirm_answers = {true};
        prompts.save_answers = {QString::fromStdString(host)};
        w.tree->setCurrentIndex(node);
        w.save_tree_node();
        finish(w);
        EXPECT_EQ(prompts.confirmations, QStringList("sure to export file: " + node.data().toString() + "  OUT"));
        const auto& objects = demo().objects;
        auto it = std::find_if(objects.begin(), objects.end(), [&](const auto& o) { return o.path == p; });
        ASSERT_NE(it, objects.end());
        EXPECT_EQ(prompts.messages, QStringList(success_text(content_of(*it))));
        EXPECT_EQ(dstest::read_file(host), content_of(*it));
    }
    EXPECT_EQ(w.gauge->value(), 100);
}

namespace {

// Reads fail wherever they touch [from, to) of any device.
class FailingSource final : public ds::SectorSource {
public:
    int64_t from = -1, to = -1;
    bool read(const std::string& d, int64_t off, int64_t len, uint8_t* buf) override {
        if (off < to && off + len > from) {
            errno = EIO;   // as a failing sector does
            return false;
        }
        return posix->read(d, off, len, buf);
    }
    int64_t size(const std::string& d) override { return posix->size(d); }
    void close_all() override { posix->close_all(); }
    std::unique_ptr<ds::SectorSource> posix = ds::make_posix_source();
};

} // namespace

TEST_F(MainWindow, SaveOutRefusalsAndFailures) {
    add_disk(store, demo_image());
    dstest::TempDir out;
    DatastoreWindow w(store);
    w.browse();
    QModelIndex root = top_node(w);
    dblclick(w, root);
    QModelIndex vm1 = child(root, "vm1");
    dblclick(w, vm1);
    QModelIndex log = child(vm1, "vm1.log");
    const std::string host = out.file("log.out");

    w.tree->clearSelection();   // no node: nothing is asked
    w.save_tree_node();
    finish(w);
    EXPECT_TRUE(prompts.confirmations.isEmpty());

    w.tree->setCurrentIndex(log);
    w.save_tree_node();   // answered No
    finish(w);
    prompts.confirm_answers = {true};
    w.save_tree_node();   // dialog cancelled
    finish(w);
    EXPECT_EQ(prompts.confirmations.size(), 2);
    EXPECT_EQ(prompts.save_dialogs, 1);
    EXPECT_TRUE(prompts.messages.isEmpty());
    EXPECT_FALSE(std::filesystem::exists(host));

    prompts.confirm_answers = {true};
    prompts.save_answers = {QString::fromStdString(out.file("no-such-dir/x"))};
    w.save_tree_node();
    finish(w);
    // The system's reason follows the message.
    EXPECT_EQ(prompts.messages.takeFirst(), "file save error|result:-1\nNo such file or directory");

    // The third megabyte lies in a block that cannot be read.
    const auto& objects = demo().objects;
    auto it = std::find_if(objects.begin(), objects.end(), [](const auto& o) { return o.path == "/vm1/vm1.log"; });
    FailingSource failing;
    failing.from = int64_t(demo().start_sector * 512 + 0x1100000 +
                           int64_t(it->data_ids.at(2) >> 6) * int64_t(demo().block_size));
    failing.to = failing.from + 1;
    // The same disk, opened again through the failing source.
    new_store(failing);
    add_disk(store, demo_image());
    ASSERT_EQ(ds::fs_open(store).failure, ds::OpenFailure::none);
    prompts.confirm_answers = {true};
    prompts.save_answers = {QString::fromStdString(host)};
    w.save_tree_node();
    finish(w);
    new_store();
    // The file keeps the first two megabytes under the chosen name, and the
    // box says so after the failure itself, then why the disk failed.
    EXPECT_EQ(prompts.messages.takeFirst(), QString::fromStdString("file save error|result:-1\npartial file: " + host +
                                                                   "|written:2097152\nInput/output error"));
    EXPECT_EQ(std::filesystem::file_size(host), 2u * 1048576u);

    QModelIndex bogus = add_node(w, vm1, "bogus", ds::Node{ds::fd_build(5000, 0)});
    w.tree->setCurrentIndex(bogus);
    prompts.confirm_answers = {true};
    w.save_tree_node();
    finish(w);
    EXPECT_EQ(prompts.messages, QStringList("file open error"));
}

TEST_F(MainWindow, DiskSettingsAndAboutOpenModally) {
    DatastoreWindow w(store);
    QStringList seen;
    auto look = [&] {
        QWidget* modal = QApplication::activeModalWidget();
        seen << (modal ? QString(modal->metaObject()->className()) + "|" + modal->windowTitle() + "|" +
                             QString::number(modal->width()) + "x" + QString::number(modal->height())
                       : QString("none"));
        if (modal) modal->close();
    };
    QTimer::singleShot(0, look);
    w.disks_action->trigger();
    QTimer::singleShot(0, look);
    w.about_action->trigger();
    EXPECT_EQ(seen, QStringList({"ds::DiskSettingsDialog|disks setting|695x338", "ds::AboutDialog|关于|480x378"}));
}

// A block device chosen in the save dialog is written only after a Yes to a
// question that names it. Needs root and losetup; skips without them.
TEST_F(MainWindow, SaveOutToABlockDeviceAsksFirst) {
    if (::geteuid() != 0) GTEST_SKIP() << "attaching a loop device needs root";
    dstest::TempDir out;
    const std::string backing = out.file("target");
    dstest::write_file(backing, std::vector<uint8_t>(1 << 20, 0));
    std::string dev;
    if (FILE* p = ::popen(("losetup -f --show '" + backing + "' 2>/dev/null").c_str(), "r")) {
        char line[256] = {};
        if (std::fgets(line, sizeof line, p)) dev = line;
        ::pclose(p);
    }
    while (!dev.empty() && (dev.back() == '\n' || dev.back() == ' ')) dev.pop_back();
    if (dev.rfind("/dev/", 0) != 0) GTEST_SKIP() << "no loop device can be attached here";

    add_disk(store, demo_image());
    DatastoreWindow w(store);
    w.browse();
    QModelIndex root = top_node(w);
    dblclick(w, root);
    QModelIndex vm1 = child(root, "vm1");
    dblclick(w, vm1);
    w.tree->setCurrentIndex(child(vm1, "vm1.vmx"));
    for (bool yes : {false, true}) {
        prompts.confirmations.clear();
        prompts.messages.clear();
        prompts.confirm_answers = {true, yes};
        prompts.save_answers = {QString::fromStdString(dev)};
        w.save_tree_node();
        finish(w);
        ASSERT_EQ(prompts.confirmations.size(), 2);
        EXPECT_EQ(prompts.confirmations[1], QString::fromStdString("overwrite the device: " + dev));
        EXPECT_EQ(prompts.messages.size(), yes ? 1 : 0);
        if (yes) EXPECT_TRUE(prompts.messages[0].startsWith("success")) << prompts.messages[0].toStdString();
        else EXPECT_EQ(dstest::read_file(backing), std::vector<uint8_t>(1 << 20, 0));
    }
    std::system(("losetup -d '" + dev + "'").c_str());
    const std::vector<uint8_t> now = dstest::read_file(backing);
    ASSERT_GE(now.size(), 8u);
    EXPECT_NE(now, std::vector<uint8_t>(1 << 20, 0));   // the Yes wrote the file's bytes
}
