#include "gui_support.h"

#include "ui/artwork.h"
#include "ui/disk_settings_dialog.h"
#include "ui/datastore_window.h"
#include "ui/dir_tree_model.h"
#include "ui/scan_rows_model.h"
#include "export/chunk_digest.h"
#include "vmfs/volume.h"
#include "text/messages.h"

#include <QApplication>
#include <QTest>
#include <QTreeView>

#include <cstdlib>
#include <memory>

namespace guitest {

bool ScriptedPrompts::confirm(QWidget*, const QString& text) {
    confirmations << text;
    if (confirm_answers.empty()) return false;
    bool yes = confirm_answers.front();
    confirm_answers.pop_front();
    return yes;
}

QString ScriptedPrompts::input(QWidget*, const QString& caption, const QString& prompt, const QString& def) {
    inputs_asked << caption + "|" + prompt + "|" + def;
    if (input_answers.empty()) return def;
    std::optional<QString> a = input_answers.front();
    input_answers.pop_front();
    return a ? *a : def;
}

QString ScriptedPrompts::open_file(QWidget*, const QString& filter) {
    last_filter = filter;
    if (open_answers.empty()) return {};
    QString a = open_answers.front();
    open_answers.pop_front();
    return a;
}

QString ScriptedPrompts::save_file(QWidget*) {
    ++save_dialogs;
    if (save_answers.empty()) return {};
    QString a = save_answers.front();
    save_answers.pop_front();
    return a;
}

int ScriptedPrompts::choose(QWidget*, const QString& text, const QStringList& choices) {
    choices_asked << text + "|" + choices.join(QLatin1Char('|'));
    if (choose_answers.empty()) return 0;
    int a = choose_answers.front();
    choose_answers.pop_front();
    return a;
}

QString ScriptedPrompts::choose_folder(QWidget*) {
    if (folder_answers.empty()) return {};
    QString a = folder_answers.front();
    folder_answers.pop_front();
    return a;
}

void GuiTest::SetUp() {
    WithDatastore::SetUp();
    ds::ui::set_prompts(&prompts);
    ds::disk_settings_state() = {};
    // Never the machine's own drives: each test says which drives exist.
    ds::set_drive_lister([] { return std::vector<ds::DriveInfo>{}; });
}

void GuiTest::TearDown() {
    ds::set_drive_lister(nullptr);
    ds::ui::set_prompts(nullptr);
    ds::disk_settings_state() = {};
    WithDatastore::TearDown();
}

namespace {

struct DemoImage {
    dstest::TempDir dir;
    dsb::DemoSummary summary = dsb::build_demo(dir.path().string());
};

DemoImage& demo_image_holder() {
    static auto holder = std::make_unique<DemoImage>();
    return *holder;
}

} // namespace

const dsb::DemoSummary& demo() { return demo_image_holder().summary; }
std::string demo_image() { return demo().images.at(0); }

void finish(ds::DatastoreWindow& w) {
    EXPECT_TRUE(QTest::qWaitFor([&] { return !w.busy(); }, 60000)) << "the work did not end";
    listed(w);
}

void listed(ds::DatastoreWindow& w) {
    EXPECT_TRUE(QTest::qWaitFor([&] { return !w.listing(); }, 60000)) << "the listing did not end";
}

void list(ds::DatastoreWindow& w, const QModelIndex& node) {
    w.tree->setCurrentIndex(node);
    w.list_selected_folder();
    listed(w);
}

void add_disk(ds::Datastore& store, const std::string& image, int64_t start_sector) {
    ds::AddDiskRefusal why = ds::AddDiskRefusal::none;
    ASSERT_EQ(ds::add_disk(store, image, start_sector, &why), 0) << ds::add_disk_message(why);
}

QStringList texts(const QModelIndex& parent) {
    QStringList out;
    for (int i = 0; i < children(parent); ++i) out << nth(parent, i).data().toString();
    return out;
}

QStringList top_texts(const QTreeView* tree) {
    QStringList out;
    for (int i = 0; i < tree->model()->rowCount(); ++i) out << tree->model()->index(i, 0).data().toString();
    return out;
}

QModelIndex top_node(const ds::DatastoreWindow& w, int i) { return w.tree_nodes->index(i, 0); }

QModelIndex child(const QModelIndex& parent, const QString& text) {
    for (int i = 0; i < children(parent); ++i)
        if (nth(parent, i).data().toString() == text) return nth(parent, i);
    return {};
}

QModelIndex nth(const QModelIndex& parent, int i) { return parent.isValid() ? parent.model()->index(i, 0, parent) : QModelIndex(); }

int children(const QModelIndex& node) { return node.isValid() ? node.model()->rowCount(node) : 0; }

QModelIndex add_node(ds::DatastoreWindow& w, const QModelIndex& parent, const QString& text, const ds::Node& node) {
    return w.tree_nodes->add(parent, text.toStdString(), node, 0);
}

int list_rows(const ds::DatastoreWindow& w) { return w.scan_rows->rowCount(); }

QModelIndex list_row(const ds::DatastoreWindow& w, int i) { return w.scan_rows->index(i, 0); }

QString cell(const QModelIndex& row, int column) { return row.siblingAtColumn(column).data().toString(); }

QStringList row_cells(const QModelIndex& row, int columns) {
    QStringList out;
    for (int i = 0; i < columns; ++i) out << cell(row, i);
    return out;
}

std::vector<uint8_t> content_of(const dsb::ObjectExpect& o) { return dsb::materialize(o.content, 0, o.size); }

QString success_text(const std::vector<uint8_t>& bytes) {
    return "success\nsha256:" +
           QString::fromStdString(ds::sha256_hex(bytes.data(), static_cast<int64_t>(bytes.size())));
}

} // namespace guitest

int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    ds::ui::install_font_substitutes();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
