#pragma once
// What the window tests share: answers to the windows' questions, a clean
// process state, and the demo datastore built once.

#include "disk/drive_list.h"
#include "support/test_support.h"
#include "ui/prompts.h"
#include "vmfs/datastore.h"

#include "scenarios.h"

#include <QString>
#include <QStringList>

#include <deque>
#include <ostream>
#include <optional>
#include <string>

class QModelIndex;
class QTreeView;

namespace ds {
class DatastoreWindow;
}

// Readable failures: captions instead of UTF-16 code units.
inline void PrintTo(const QString& s, std::ostream* os) { *os << '"' << s.toStdString() << '"'; }

namespace guitest {

// Answers every question from queues and records what was asked.
class ScriptedPrompts final : public ds::ui::Prompts {
public:
    QStringList messages;        // OK boxes, in order
    QStringList confirmations;   // Yes/No boxes, in order
    QStringList inputs_asked;    // "caption|prompt|default"
    QString last_filter;
    int save_dialogs = 0;
    QStringList save_suggested;  // the default names the save dialogs offered

    std::deque<bool> confirm_answers;                // empty: No
    std::deque<std::optional<QString>> input_answers;  // nullopt or empty: cancelled
    std::deque<QString> open_answers;                // empty: cancelled
    std::deque<QString> save_answers;                // empty: cancelled
    QStringList choices_asked;                       // "text|choice|choice..."
    std::deque<int> choose_answers;                  // empty: the default, 0
    std::deque<QString> folder_answers;              // empty: cancelled

    void message(QWidget*, const QString& text) override { messages << text; }
    bool confirm(QWidget*, const QString& text) override;
    QString input(QWidget*, const QString& caption, const QString& prompt, const QString& def) override;
    QString open_file(QWidget*, const QString& filter) override;
    QString save_file(QWidget*) override;
    QString save_file_named(QWidget* parent, const QString& suggested) override {
        save_suggested << suggested;
        return save_file(parent);
    }
    int choose(QWidget*, const QString& text, const QStringList& choices) override;
    QString choose_folder(QWidget*) override;
};

class GuiTest : public dstest::WithDatastore {
protected:
    void SetUp() override;
    void TearDown() override;
    ScriptedPrompts prompts;
};

const dsb::DemoSummary& demo();   // built on first use, removed at exit
std::string demo_image();

// Waits until the window's work (a scan or an export on its thread) has
// ended and the window has said how.
void finish(ds::DatastoreWindow& w);
// Waits until every folder listing asked for has been shown.
void listed(ds::DatastoreWindow& w);
// Selects node and lists it, as a double-click does, and waits for it.
void list(ds::DatastoreWindow& w, const QModelIndex& node);

// Joins an image to the logical volume, as the disk settings window would.
void add_disk(ds::Datastore& store, const std::string& image, int64_t start_sector = 2048);

// The tree's nodes, as its model hands them to the view.
QStringList texts(const QModelIndex& parent);   // child captions in order
QStringList top_texts(const QTreeView* tree);
QModelIndex top_node(const ds::DatastoreWindow& w, int i = 0);
QModelIndex child(const QModelIndex& parent, const QString& text);   // invalid: none
QModelIndex nth(const QModelIndex& parent, int i);
int children(const QModelIndex& node);
// A node the tests place themselves (of no descriptor unless given one).
QModelIndex add_node(ds::DatastoreWindow& w, const QModelIndex& parent, const QString& text, const ds::Node& node = {});
// The scan list's rows, as its model hands them to the view.
int list_rows(const ds::DatastoreWindow& w);
QModelIndex list_row(const ds::DatastoreWindow& w, int i);
QString cell(const QModelIndex& row, int column);
QStringList row_cells(const QModelIndex& row, int columns = 7);
std::vector<uint8_t> content_of(const dsb::ObjectExpect& o);
// The box a whole single-file export ends with: "success", then the digest.
QString success_text(const std::vector<uint8_t>& bytes);

} // namespace guitest
