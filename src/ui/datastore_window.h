#pragma once
// The main window: the tree of the datastore, the information pane, the
// recovered-file list, the gauge and the commands that start everything.

#include <QElapsedTimer>
#include <QIcon>
#include <QList>
#include <QMainWindow>
#include <QPersistentModelIndex>
#include <QVariantList>

#include <deque>
#include <vector>
#include <functional>
#include <memory>

#include <cstdint>

#include "vmfs/datastore.h"

class QAction;
class QGroupBox;
class QLabel;
class QMenu;
class QMenuBar;
class QModelIndex;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QShortcut;
class QTreeView;

namespace ds {

class Datastore;

namespace ui {
class DirTreeModel;
class Listing;
class NodeStat;
class ScanRowsModel;
class Work;
enum class NodeKind : int;
}

struct ExportResult;
struct File;
struct FileRow;
struct FolderExportResult;
struct PartitionRow;
struct PointerBlockCandidate;
struct RebuiltDisk;
enum class ScanEnd;

class DatastoreWindow : public QMainWindow {
    Q_OBJECT

public:
    // On a datastore of its own, read from image files and block devices.
    explicit DatastoreWindow(QWidget* parent = nullptr);
    // On the datastore given (tests give one over a source of their own).
    explicit DatastoreWindow(std::unique_ptr<Datastore> store, QWidget* parent = nullptr);
    // On a datastore the caller keeps alive longer than the window.
    explicit DatastoreWindow(Datastore& store, QWidget* parent = nullptr);
    ~DatastoreWindow() override;

private:
    std::unique_ptr<Datastore> owned_store_;

public:
    // The datastore every command of the window works on; its disks close
    // with the window.
    Datastore& store;

    // The controls, under the names the rest of the program and the tests use.
    QTreeView* tree = nullptr;
    // The tree's nodes, each kept compactly; a listed folder's entries are
    // handed to the tree a page at a time as it scrolls.
    ui::DirTreeModel* tree_nodes = nullptr;
    QTreeView* scan_list = nullptr;
    // The list's rows as the scan found them; the list is handed them a page
    // at a time as it scrolls, and makes them text only when it shows them.
    ui::ScanRowsModel* scan_rows = nullptr;
    QGroupBox* info_box = nullptr;
    QPlainTextEdit* info_text = nullptr;
    QPushButton* browse_button = nullptr;
    QPushButton* deleted_button = nullptr;
    QPushButton* formatted_button = nullptr;
    QPushButton* lost_disks_button = nullptr;
    QProgressBar* gauge = nullptr;
    QPushButton* stop_button = nullptr;   // "stop", beside the gauge while work runs
    QLabel* status_line = nullptr;         // the status line under the gauge
    QLabel* banner = nullptr;
    QMenuBar* main_menu = nullptr;
    QMenu* file_menu = nullptr;
    QAction* disks_action = nullptr;
    QAction* browse_action = nullptr;
    QAction* deleted_action = nullptr;
    QAction* lost_disks_action = nullptr;
    QAction* about_action = nullptr;
    QMenu* tree_menu = nullptr;
    QAction* tree_save_action = nullptr;
    QMenu* list_menu = nullptr;   // scan_list's menu: export a deleted file
    QAction* list_save_action = nullptr;
    QList<QIcon> images;
    // A newcomer's commands: open an image at once, the language, the
    // version in About.
    QAction* open_image_action = nullptr;   // File › Open image… (Ctrl+O)
    QMenu* language_menu = nullptr;
    QAction* chinese_action = nullptr;
    QAction* english_action = nullptr;

    // True while a scan or an export runs on its thread; the commands that
    // would start other work are disabled meanwhile.
    bool busy() const { return busy_; }
    // True while a folder's listing runs on its thread (or waits for one).
    bool listing() const;
    // Asks the running work to stop; it keeps what it wrote.
    void cancel_work();
    // The rows and nodes the window holds at most (kMaxShown; tests lower it).
    void set_shown_limit(int64_t limit) { shown_limit_ = limit; }

    // Appends a row of the recovered-file list (one kind at a time), as a
    // scan's rows arrive.
    void AddFileRow(const FileRow& row);
    void AddPartitionRow(const PartitionRow& row);

public slots:
    void show_start();
    void browse();
    void scan_deleted();
    void scan_formatted();
    void scan_lost_disks();
    void list_selected_folder();
    void save_tree_node();
    void save_list_row();
    void open_disk_settings();
    void browse_action_triggered();
    void deleted_action_triggered();
    void lost_disks_action_triggered();
    void open_about();
    // Adds an image at the start sector its partition table (or a volume
    // header at a usual start) gives, browses it and lists "/".
    void open_image();

signals:
    // The running work has ended and the window has said how.
    void workEnded();
    // No folder is being listed any more: every listing asked for has been
    // shown (or dropped with the tree it was for).
    void listingEnded();

protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    enum class WorkKind { none, scan, export_file, export_folder };
    struct FolderJob;

    // Rows of the list and nodes of the tree, together, whatever a damaged
    // or forged datastore claims. A row or a node is held in its compact
    // form (60 to 110 bytes, and as much again for the view once scrolled
    // to): two million are some 200 to 300 MiB, far above the files of a
    // real volume. The command line, which holds no rows, lists every one.
    static constexpr int64_t kMaxShown = 2000000;

    void build();
    void place_controls();
    void start_work(WorkKind kind, const QString& name, std::function<std::function<void()>(ui::Work&)> body,
                    int64_t total = 0);
    void work_progressed();
    void work_rows(const QVariantList& rows);
    void work_ended();
    void set_busy(bool busy);
    void show_idle_status();
    QString scan_status() const;
    void run_folder_export(std::shared_ptr<FolderJob> job);
    // met_unreadable: a file's copy stopped at a sector that could not be read.
    void folder_export_ended(std::shared_ptr<FolderJob> job, const FolderExportResult& r, bool met_unreadable);
    bool open_popup_by_key(QTreeView* view, QMenu* menu, QAction* item);
    void add_list_rows(const QVariantList& rows, int64_t take);
    void hand_rows_to_list();
    void hand_nodes_to_tree(const QModelIndex& parent);
    void hand_nodes_in_view();
    QModelIndex selected_node() const;
    void clear_tree();
    int64_t room() const;
    void export_descriptor(const QString& shown, const Node& node, const QString& suggested = {});
    void export_folder(const QModelIndex& node);
    void show_scan_end(ScanEnd end);
    void tree_context_menu(const QPoint& pos);
    void list_context_menu(const QPoint& pos);
    void tree_double_clicked(const QModelIndex& index);
    void start_listing(const QModelIndex& node);
    void listing_done(quint64 serial);
    void stop_listing();
    void show_node_stat(const QModelIndex& current);
    void node_stat_done(quint64 serial);

    // Saving out, asking once to read on over unreadable sectors, and the
    // rebuilt disks of the lost-disk rows.
    struct FileJob;
    void export_file(std::shared_ptr<FileJob> job);
    void file_export_ended(std::shared_ptr<FileJob> job, const ExportResult& r, const QString& map_path, int64_t bytes_read);
    bool ask_rescue();
    void scan_ended(ScanEnd end, int64_t unreadable, bool rescued, void (DatastoreWindow::*again)());
    bool row_saveable(const QModelIndex& row) const;
    void save_lost_disk(int row);
    void retranslate();
    std::vector<PointerBlockCandidate> lost_candidates_;   // of the last lost-disk scan
    bool rescue_next_ = false;   // the next scan passes over unreadable sectors

    ui::Work* work_ = nullptr;
    ui::Listing* listing_ = nullptr;
    // The node the running listing fills, and those asked for meanwhile, in
    // order; a cleared tree leaves them invalid.
    QPersistentModelIndex listing_node_;
    std::deque<QPersistentModelIndex> list_queue_;
    // The selected node's descriptor for the info pane, read on its thread;
    // a selection that moved on meanwhile is read next.
    ui::NodeStat* stat_ = nullptr;
    bool stat_wanted_ = false;
    Node stat_node_;                  // the node wanted
    QString volume_text_;   // the pane's volume text, above a node's
    QShortcut* stop_key_ = nullptr;
    WorkKind kind_ = WorkKind::none;
    QString work_name_;
    QElapsedTimer work_clock_;
    int64_t rows_received_ = 0;
    QString rows_what_;          // what a scan counts: rows, or found directories
    bool browse_waits_ = false;  // a click in the tree was ignored during this scan
    bool rows_capped_ = false;   // this scan found more rows than the window holds
    int64_t capped_at_ = 0;      // the bound it met, as said to the operator
    int64_t shown_limit_ = kMaxShown;
    bool busy_ = false;
    bool close_pending_ = false;
    bool browsed_ = false;
    bool opened_once_ = false;   // a browse opened the file system (a later change of disks closed it)
};

} // namespace ds
