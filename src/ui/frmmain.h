#pragma once
// The main window: the tree of the datastore, the information pane, the
// recovered-file list, the gauge and the commands that start everything.

#include <QElapsedTimer>
#include <QIcon>
#include <QList>
#include <QMainWindow>
#include <QVariantList>

#include <functional>
#include <memory>

#include <cstdint>

class QAction;
class QGroupBox;
class QLabel;
class QMenu;
class QMenuBar;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QShortcut;
class QTreeWidget;
class QTreeWidgetItem;

namespace ds {

class Datastore;

struct Node;

namespace ui {
class Work;
enum class NodeKind : int;
}

struct FileRow;
struct FolderExportResult;
struct PartitionRow;
enum class ScanEnd;

class Tfrmmain : public QMainWindow {
    Q_OBJECT

public:
    // On a datastore of its own, read from image files and block devices.
    explicit Tfrmmain(QWidget* parent = nullptr);
    // On the datastore given (tests give one over a source of their own).
    explicit Tfrmmain(std::unique_ptr<Datastore> store, QWidget* parent = nullptr);
    // On a datastore the caller keeps alive longer than the window.
    explicit Tfrmmain(Datastore& store, QWidget* parent = nullptr);
    ~Tfrmmain() override;

private:
    std::unique_ptr<Datastore> owned_store_;

public:
    // The datastore every command of the window works on; its disks close
    // with the window.
    Datastore& store;

    // The controls, under the names the rest of the program and the tests use.
    QTreeWidget* TreeView = nullptr;
    QTreeWidget* ListView2 = nullptr;
    QGroupBox* GroupBox1 = nullptr;
    QPlainTextEdit* Memo1 = nullptr;
    QPushButton* Button1 = nullptr;
    QPushButton* Button2 = nullptr;
    QPushButton* Button3 = nullptr;
    QPushButton* Button4 = nullptr;
    QProgressBar* g1 = nullptr;
    QPushButton* Button5 = nullptr;   // "stop", beside the gauge while work runs
    QLabel* Label1 = nullptr;         // the status line under the gauge
    QLabel* Image1 = nullptr;
    QMenuBar* MainMenu1 = nullptr;
    QMenu* FILE1 = nullptr;
    QAction* diskssetting1 = nullptr;
    QAction* brosefile1 = nullptr;
    QAction* deletedfilesrecover1 = nullptr;
    QAction* VMDKFILERECOVER1 = nullptr;
    QAction* ABOUT1 = nullptr;
    QMenu* PopupMenu1 = nullptr;
    QAction* saveout1 = nullptr;
    QMenu* PopupMenu2 = nullptr;   // ListView2's menu: export a deleted file
    QAction* saveout2 = nullptr;
    QList<QIcon> ImageList1;

    // True while a scan or an export runs on its thread; the commands that
    // would start other work are disabled meanwhile.
    bool busy() const { return busy_; }
    // Asks the running work to stop; it keeps what it wrote.
    void cancel_work();
    // The rows and nodes the window holds at most (kMaxShown; tests lower it).
    void set_shown_limit(int64_t limit) { shown_limit_ = limit; }

    // Appends a row of the recovered-file list.
    void AddFileRow(const FileRow& row);
    void AddPartitionRow(const PartitionRow& row);

public slots:
    void FormCreate();
    void Button1Click();
    void Button2Click();
    void Button3Click();
    void Button4Click();
    void TreeViewDblClick();
    void saveout1Click();
    void saveout2Click();
    void diskssetting1Click();
    void brosefile1Click();
    void deletedfilesrecover1Click();
    void VMDKFILERECOVER1Click();
    void ABOUT1Click();

signals:
    // The running work has ended and the window has said how.
    void workEnded();

protected:
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    enum class WorkKind { none, scan, export_file, export_folder };
    struct FolderJob;

    // Rows of the list and nodes of the tree, together: about 1.5 KiB each,
    // so that the window stays near 200 MiB whatever a damaged or forged
    // datastore claims. A real volume holds a few tens of thousands of files.
    // The command line, which holds no rows, lists every one.
    static constexpr int64_t kMaxShown = 110000;

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
    void folder_export_ended(std::shared_ptr<FolderJob> job, const FolderExportResult& r);
    bool open_popup_by_key(QTreeWidget* view, QMenu* menu, QAction* item);
    QTreeWidgetItem* selected_node() const;
    QTreeWidgetItem* add_node(QTreeWidgetItem* parent, const QString& text, const Node& node, int image,
                              ui::NodeKind kind);
    void clear_tree();
    int64_t room() const;
    void export_descriptor(const QString& shown, const Node& node);
    void export_folder(const QTreeWidgetItem* node);
    void show_scan_end(ScanEnd end);
    void tree_context_menu(const QPoint& pos);
    void list_context_menu(const QPoint& pos);
    void tree_double_clicked(QTreeWidgetItem* item);

    ui::Work* work_ = nullptr;
    QShortcut* stop_key_ = nullptr;
    WorkKind kind_ = WorkKind::none;
    QString work_name_;
    QElapsedTimer work_clock_;
    int64_t rows_received_ = 0;
    QString rows_what_;          // what a scan counts: rows, or found directories
    bool browse_waits_ = false;  // a click in the tree was ignored during this scan
    bool rows_capped_ = false;   // this scan found more rows than the window holds
    int64_t tree_nodes_ = 0;     // nodes in TreeView
    int64_t shown_limit_ = kMaxShown;
    bool busy_ = false;
    bool close_pending_ = false;
    bool browsed_ = false;
};

} // namespace ds
