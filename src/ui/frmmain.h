#pragma once
// The main window: the tree of the datastore, the information pane, the
// recovered-file list, the gauge and the commands that start everything.

#include <QIcon>
#include <QList>
#include <QMainWindow>

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
class QTreeWidget;
class QTreeWidgetItem;

namespace ds {

struct Datastore;

struct FileRow;
struct PartitionRow;
enum class ScanEnd;

// Item data of TreeView nodes and ListView2 rows.
inline constexpr int kNodeDataRole = Qt::UserRole;        // the node's 32-bit value
inline constexpr int kImageIndexRole = Qt::UserRole + 1;  // index into ImageList1
inline constexpr int kDescriptorRole = Qt::UserRole + 2;  // ListView2: a deleted file's descriptor id
inline constexpr int kFoundDirRole = Qt::UserRole + 3;    // a "DIR<n>" node: the found directory's number

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

    // True while a scan or an export runs; other commands are ignored then.
    bool busy() const { return busy_; }

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

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    class Running;

    void build();
    QTreeWidgetItem* selected_node() const;
    QTreeWidgetItem* add_node(QTreeWidgetItem* parent, const QString& text, uint32_t data, int image);
    void export_descriptor(const QString& shown, uint32_t descriptor_id, int64_t first_block = -1);
    void export_folder(const QTreeWidgetItem* node);
    int64_t first_block_of(const QTreeWidgetItem* node) const;
    bool scan_progress(int gauge);
    void show_scan_end(ScanEnd end);
    void tree_context_menu(const QPoint& pos);
    void list_context_menu(const QPoint& pos);
    void tree_double_clicked(QTreeWidgetItem* item);

    bool busy_ = false;
    bool cancel_requested_ = false;
    bool close_pending_ = false;
};

} // namespace ds
