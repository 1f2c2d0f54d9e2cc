// The window's tree over its model: nodes kept compactly and handed to the
// view a page at a time; a folder of more entries than the window once held
// is listed whole and reached by scrolling.

#include "gui_support.h"

#include "ui/artwork.h"
#include "ui/datastore_window.h"
#include "ui/dir_tree_model.h"
#include "ui/tree_node.h"
#include "text/time_text.h"

#include "builder/datastore_builder.h"

#include <QAbstractItemModelTester>
#include <QAction>
#include <QApplication>
#include <QPlainTextEdit>
#include <QTest>
#include <QTreeView>

using namespace guitest;
using ds::DatastoreWindow;
using ds::ui::DirTreeModel;

namespace {

std::vector<DirTreeModel::NewNode> entries(int n, uint32_t first_id) {
    std::vector<DirTreeModel::NewNode> out(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) out[size_t(i)] = {"entry-" + std::to_string(i), ds::Node{first_id + uint32_t(i), -1}, 1};
    return out;
}

// Scrolls the tree to its end until the folder has nothing more to hand out.
int scroll_to_end(DatastoreWindow& w, const QModelIndex& folder) {
    int scrolls = 0;
    while (w.tree_nodes->canFetchMore(folder) && scrolls < 10000) {
        w.tree->scrollToBottom();
        QApplication::processEvents();
        ++scrolls;
    }
    return scrolls;
}

class DirTree : public GuiTest {
protected:
    // A datastore whose /wide holds `entries` names of one file (returned),
    // with a file after it in / when `sibling_below`; added to the store.
    uint32_t build_wide(const dstest::TempDir& dir, int entries, bool sibling_below) {
        dsb::DatastoreOptions o;
        o.path = dir.file("wide.img");
        o.fdc.area_count = (uint32_t(entries) + 16 + 255) / 256;
        o.segments = 3;
        dsb::ImageBuilder ds(o);
        const uint32_t f = ds.add_file("/f.txt", dsb::text_file("x"));
        const uint32_t wide = ds.mkdir("/wide");
        for (int k = 0; k < entries; ++k) ds.add_dirent(wide, 3, f, "entry-" + std::to_string(k));
        if (sibling_below) ds.add_file("/zz-after.txt", dsb::text_file("y"));
        ds.finish();
        add_disk(store, o.path);
        return f;
    }

    // Opens w on the store, lists / and then /wide; the folder's index.
    QModelIndex open_wide(DatastoreWindow& w) {
        w.show();
        w.browse();
        list(w, top_node(w));
        const QModelIndex folder = child(top_node(w), "wide");
        if (folder.isValid()) list(w, folder);
        return folder;
    }
};

} // namespace

TEST(DirTreeModel, HandsChildrenOutAPageAtATimeAndPassesTheTester) {
    DirTreeModel model(ds::ui::image_list());
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
    const QModelIndex top = model.add({}, "/", ds::Node{4, -1}, 0);
    ASSERT_TRUE(top.isValid());
    EXPECT_FALSE(model.hasChildren(top));   // unlisted: nothing to expand

    const int n = 2 * DirTreeModel::kPage + 7;
    model.add_children(top, entries(n, 0x100));
    EXPECT_EQ(model.held(), n + 1);
    EXPECT_EQ(model.children_held(top), n);
    // The first page at once, the rest as the view asks.
    EXPECT_TRUE(model.hasChildren(top));
    EXPECT_EQ(model.rowCount(top), DirTreeModel::kPage);
    EXPECT_FALSE(model.index(DirTreeModel::kPage, 0, top).isValid());
    int pages = 0;
    while (model.canFetchMore(top)) {
        model.fetchMore(top);
        ++pages;
    }
    EXPECT_EQ(pages, 2);
    ASSERT_EQ(model.rowCount(top), n);

    const QModelIndex last = model.index(n - 1, 0, top);
    EXPECT_EQ(last.data().toString(), QString::fromStdString("entry-" + std::to_string(n - 1)));
    EXPECT_EQ(model.parent(last), top);
    EXPECT_EQ(ds::ui::node_of(last).id, 0x100u + uint32_t(n - 1));
    EXPECT_EQ(last.data(ds::ui::kImageIndexRole).toInt(), 1);
    EXPECT_EQ(ds::ui::kind_of(last), ds::ui::NodeKind::entry);
    EXPECT_FALSE(model.index(0, DirTreeModel::column_count, top).isValid());
    // Nothing read of its descriptor: its size and time are left blank.
    EXPECT_FALSE(model.index(n - 1, DirTreeModel::size_column, top).data().isValid());

    // Deeper nodes find their way up; names are UTF-8 bytes as listed.
    const QModelIndex sub = model.index(3, 0, top);
    const QModelIndex deep = model.add(sub, "résumé-日本.txt", ds::Node{9, 77}, 1);
    EXPECT_EQ(deep.data().toString(), QString::fromUtf8("résumé-日本.txt"));
    EXPECT_EQ(deep.parent(), sub);
    EXPECT_EQ(deep.parent().parent(), top);
    EXPECT_EQ(ds::ui::node_of(deep), (ds::Node{9, 77}));
    std::vector<DirTreeModel::NewNode> stated(1);
    stated[0] = {"big.vmdk", ds::Node{10, -1}, 1, ds::ui::NodeKind::entry, true, int64_t(1) << 40, -1};
    model.add_children(sub, std::move(stated));
    const QModelIndex big = model.index(1, DirTreeModel::size_column, sub);
    EXPECT_EQ(big.data().toString(), "1099511627776");
    EXPECT_EQ(big.siblingAtColumn(DirTreeModel::modified_column).data().toString(), "1969-12-31 23:59:59");
    EXPECT_EQ(big.parent(), sub);
    EXPECT_EQ(ds::ui::node_of(big), (ds::Node{10, -1}));   // read through its row's first column
    EXPECT_EQ(model.headerData(DirTreeModel::modified_column, Qt::Horizontal, Qt::DisplayRole).toString(), "modified");

    // Every child held, shown or not, for what works on a whole folder.
    const QModelIndex found = model.add({}, "ALL DIR FOUND", ds::Node{}, 0, ds::ui::NodeKind::found_top);
    EXPECT_EQ(ds::ui::kind_of(found), ds::ui::NodeKind::found_top);
    model.add_children(found, entries(DirTreeModel::kPage + 5, 0x9000));
    EXPECT_EQ(model.rowCount(found), DirTreeModel::kPage);
    std::vector<uint32_t> ids;
    model.each_child(found, [&](const ds::Node& node, const std::string&) { ids.push_back(node.id); });
    ASSERT_EQ(ids.size(), size_t(DirTreeModel::kPage + 5));
    EXPECT_EQ(ids.back(), 0x9000u + DirTreeModel::kPage + 4);

    model.clear();
    EXPECT_EQ(model.rowCount(), 0);
    EXPECT_EQ(model.held(), 0);
    EXPECT_FALSE(model.canFetchMore({}));
}

TEST_F(DirTree, AFolderPastTheOldBoundIsListedWholeAndReachedByScrolling) {
    constexpr int kEntries = 110500;   // the window's tree once stopped at 110,000 nodes
    dstest::TempDir dir;
    const uint32_t f = build_wide(dir, kEntries, false);

    DatastoreWindow w(store);
    const QModelIndex folder = open_wide(w);
    ASSERT_TRUE(folder.isValid());
    EXPECT_TRUE(prompts.messages.isEmpty()) << prompts.messages.join("|").toStdString();
    ASSERT_EQ(w.tree_nodes->children_held(folder), kEntries);
    EXPECT_TRUE(w.tree->isExpanded(folder));
    // Held whole; the view was handed only what it showed.
    EXPECT_LT(children(folder), kEntries / 10);
    EXPECT_EQ(nth(folder, 0).data().toString(), "entry-0");

    EXPECT_GT(scroll_to_end(w, folder), 1);
    ASSERT_EQ(children(folder), kEntries);
    EXPECT_EQ(nth(folder, kEntries - 1).data().toString(), "entry-110499");

    // An entry past the old bound is selected and offered for saving out.
    const QModelIndex far = nth(folder, 110200);
    EXPECT_EQ(ds::ui::node_of(far).id, f);
    w.tree->setCurrentIndex(far);
    w.tree_save_action->trigger();
    EXPECT_EQ(prompts.confirmations, QStringList("sure to export file: entry-110200  OUT"));
}

// The view asks for more only when the tree's very last row comes into
// view; a wide folder with a sibling below it is handed its next page when
// its own last shown entry is scrolled to, as an operator reads down it.
TEST_F(DirTree, AWideFolderWithSiblingsBelowItIsReachedByScrolling) {
    constexpr int kEntries = 12 * DirTreeModel::kPage + 5;
    dstest::TempDir dir;
    build_wide(dir, kEntries, true);

    DatastoreWindow w(store);
    const QModelIndex folder = open_wide(w);
    ASSERT_TRUE(folder.isValid());
    ASSERT_EQ(texts(top_node(w)).last(), "zz-after.txt");
    ASSERT_EQ(w.tree_nodes->children_held(folder), kEntries);
    ASSERT_LT(children(folder), kEntries);

    int scrolls = 0;
    for (int shown = -1; children(folder) != shown && scrolls < 100; ++scrolls) {
        shown = children(folder);
        w.tree->scrollTo(nth(folder, shown - 1));
        QApplication::processEvents();
        QApplication::processEvents();
    }
    ASSERT_EQ(children(folder), kEntries);
    EXPECT_GT(scrolls, 2);
    EXPECT_EQ(nth(folder, kEntries - 1).data().toString(), "entry-" + QString::number(kEntries - 1));
    // Its sibling is still below it.
    EXPECT_EQ(texts(top_node(w)).last(), "zz-after.txt");
}

// The info pane shows the selected node's descriptor below the volume's
// text, read off the event loop; a node of no descriptor of its own shows
// the volume alone.
TEST_F(DirTree, TheInfoPaneShowsTheSelectedNodesDescriptor) {
    add_disk(store, demo_image(), demo().start_sector);
    DatastoreWindow w(store);
    QAbstractItemModelTester tester(w.tree_nodes, QAbstractItemModelTester::FailureReportingMode::Fatal);
    w.show();
    w.browse();
    const QString volume = w.info_text->toPlainText();
    ASSERT_FALSE(volume.isEmpty());
    list(w, top_node(w));
    const QModelIndex vm1 = child(top_node(w), "vm1");
    list(w, vm1);
    const QModelIndex vmx = child(vm1, "vm1.vmx");
    ASSERT_TRUE(vmx.isValid());

    w.tree->setCurrentIndex(vmx);
    ASSERT_TRUE(QTest::qWaitFor([&] { return w.info_text->toPlainText() != volume; }, 10000));
    ds::File file;
    ASSERT_TRUE(store.open_file(ds::ui::node_of(vmx), file));
    const ds::FileInfo& fi = file.info();
    const QStringList lines = w.info_text->toPlainText().split('\n');
    const int at = int(volume.split('\n').size()) + 1;   // below the volume and a blank line
    ASSERT_GT(lines.size(), at + 7) << w.info_text->toPlainText().toStdString();
    EXPECT_EQ(lines.mid(0, at - 1).join('\n'), volume);
    EXPECT_EQ(lines[at], "id: " + QString::number(fi.id));
    EXPECT_EQ(lines[at + 1], "type: 3 (file)");
    EXPECT_EQ(lines[at + 2], "size: " + QString::number(fi.size));
    EXPECT_EQ(lines[at + 4], "modified: " + QString::fromStdString(ds::format_unix_time(fi.update_time)));
    EXPECT_EQ(lines[at + 6], "extents: " + QString::number(store.extents(file).size()));
    EXPECT_EQ(fi.id, demo().ids.at("/vm1/vm1.vmx"));
    // The tree's own columns say the same size and modified time.
    EXPECT_EQ(vmx.siblingAtColumn(DirTreeModel::size_column).data().toString(), QString::number(fi.size));
    EXPECT_EQ(vmx.siblingAtColumn(DirTreeModel::modified_column).data().toString(),
              QString::fromStdString(ds::format_unix_time(fi.update_time)));

    // The next selection replaces it; a folder is a descriptor too.
    w.tree->setCurrentIndex(vm1);
    ASSERT_TRUE(QTest::qWaitFor([&] { return w.info_text->toPlainText().contains("type: 2 (directory)"); }, 10000));
    EXPECT_FALSE(w.info_text->toPlainText().contains("id: " + QString::number(fi.id)));

    // Nothing selected: the volume alone.
    w.tree->setCurrentIndex({});
    EXPECT_EQ(w.info_text->toPlainText(), volume);
    QTest::qWait(50);
    EXPECT_EQ(w.info_text->toPlainText(), volume);
}
