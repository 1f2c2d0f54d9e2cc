#include "ui/frmmain.h"

#include "recovery/deleted_files.h"
#include "recovery/formatted_dirs.h"
#include "recovery/lost_vmdks.h"
#include "recovery/scan.h"
#include "ui/artwork.h"
#include "ui/frmabout.h"
#include "ui/frmdiskset.h"
#include "ui/prompts.h"
#include "vmfs/blockid.h"
#include "export/file_export.h"
#include "export/folder_export.h"
#include "vmfs/found_dir.h"
#include "vmfs/fs.h"
#include "vmfs/inode.h"
#include "vmfs/listing.h"
#include "text/messages.h"

#include <QAction>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>

#include <sys/stat.h>

namespace ds {
namespace {

const QString kTitle = QStringLiteral("DATUMSIFT1.0");
const QString kTreeHint = QStringLiteral("双击展开目录");
const QString kAllDirFound = QStringLiteral("ALL DIR FOUND");

QString qs(const std::string& s) { return QString::fromStdString(s); }

void expand_all(QTreeWidgetItem* item) {
    item->setExpanded(true);
    for (int i = 0; i < item->childCount(); ++i) expand_all(item->child(i));
}

} // namespace

// Marks a command that lets the window process messages while it works: any
// other command is ignored until it ends, and a close request cancels it and
// closes the window once it has.
class Tfrmmain::Running {
public:
    explicit Running(Tfrmmain& w) : w_(w) {
        w_.busy_ = true;
        w_.cancel_requested_ = false;
    }
    ~Running() {
        w_.busy_ = false;
        w_.cancel_requested_ = false;
        if (w_.close_pending_) QTimer::singleShot(0, &w_, &QWidget::close);
    }
    Running(const Running&) = delete;
    Running& operator=(const Running&) = delete;

private:
    Tfrmmain& w_;
};

Tfrmmain::Tfrmmain(QWidget* parent) : QMainWindow(parent) {
    build();
    FormCreate();
}

Tfrmmain::~Tfrmmain() = default;

void Tfrmmain::build() {
    setObjectName(QStringLiteral("frmmain"));
    setFont(QFont(QStringLiteral("MS Sans Serif"), 8));
    move(7, 64);
    resize(1003, 737);
    ImageList1 = ui::image_list();

    auto* client = new QWidget(this);
    setCentralWidget(client);

    TreeView = new QTreeWidget(client);
    TreeView->setObjectName(QStringLiteral("TreeView"));
    TreeView->setGeometry(8, 8, 537, 497);
    TreeView->setHeaderHidden(true);
    TreeView->setColumnCount(1);
    TreeView->setIndentation(19);
    TreeView->setIconSize(QSize(16, 16));
    TreeView->setSelectionMode(QAbstractItemView::SingleSelection);
    // The double-click lists a directory and expands it; the control's own
    // toggle would collapse it again straight away.
    TreeView->setExpandsOnDoubleClick(false);
    TreeView->setContextMenuPolicy(Qt::CustomContextMenu);

    ListView2 = new QTreeWidget(client);
    ListView2->setObjectName(QStringLiteral("ListView2"));
    ListView2->setGeometry(8, 8, 537, 497);
    ListView2->setRootIsDecorated(false);
    ListView2->setSelectionBehavior(QAbstractItemView::SelectRows);
    ListView2->setSelectionMode(QAbstractItemView::SingleSelection);
    ListView2->setIconSize(QSize(16, 16));
    ListView2->setContextMenuPolicy(Qt::CustomContextMenu);
    const QStringList columns = {QStringLiteral("sn"),        QStringLiteral("ID"),
                                 QStringLiteral("type"),      QStringLiteral("size"),
                                 QStringLiteral("create at"), QStringLiteral("last update at "),
                                 QStringLiteral("atime")};
    const int widths[] = {100, 80, 180, 180, 150, 150, 150};
    ListView2->setColumnCount(int(columns.size()));
    ListView2->setHeaderLabels(columns);
    ListView2->header()->setStretchLastSection(false);
    for (int i = 0; i < columns.size(); ++i) ListView2->setColumnWidth(i, widths[i]);

    GroupBox1 = new QGroupBox(QStringLiteral("LVM INFO"), client);
    GroupBox1->setObjectName(QStringLiteral("GroupBox1"));
    GroupBox1->setGeometry(568, 8, 305, 457);
    Memo1 = new QPlainTextEdit(GroupBox1);
    Memo1->setObjectName(QStringLiteral("Memo1"));
    Memo1->setGeometry(8, 16, 289, 433);
    Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    GroupBox1->setFocusProxy(Memo1);

    auto button = [client](const char* name, const QString& caption, int x, int y, int w, int h) {
        auto* b = new QPushButton(caption, client);
        b->setObjectName(QLatin1String(name));
        b->setGeometry(x, y, w, h);
        return b;
    };
    Button1 = button("Button1", QStringLiteral("浏览正常文件"), 880, 24, 113, 25);
    Button2 = button("Button2", QStringLiteral("删除恢复"), 880, 72, 113, 25);
    Button3 = button("Button3", QStringLiteral("格式化恢复"), 880, 112, 113, 25);
    Button4 = button("Button4", QStringLiteral("虚拟硬盘文件恢复"), 880, 152, 121, 25);

    g1 = new QProgressBar(client);
    g1->setObjectName(QStringLiteral("g1"));
    g1->setGeometry(9, 511, 320, 28);
    g1->setRange(0, 100);
    g1->setValue(0);
    g1->setTextVisible(true);

    Image1 = new QLabel(client);
    Image1->setObjectName(QStringLiteral("Image1"));
    Image1->setGeometry(552, 472, 433, 193);
    Image1->setPixmap(ui::banner_picture(QSize(433, 193)));

    MainMenu1 = menuBar();
    MainMenu1->setObjectName(QStringLiteral("MainMenu1"));
    FILE1 = MainMenu1->addMenu(QStringLiteral("FILE"));
    FILE1->setObjectName(QStringLiteral("FILE1"));
    diskssetting1 = FILE1->addAction(QStringLiteral("DISKS SETTING"));
    diskssetting1->setObjectName(QStringLiteral("diskssetting1"));
    brosefile1 = FILE1->addAction(QStringLiteral("VIEW FILES"));
    brosefile1->setObjectName(QStringLiteral("brosefile1"));
    deletedfilesrecover1 = FILE1->addAction(QStringLiteral("FILE RECOVER"));
    deletedfilesrecover1->setObjectName(QStringLiteral("deletedfilesrecover1"));
    VMDKFILERECOVER1 = FILE1->addAction(QStringLiteral("VMDK FILE RECOVER"));
    VMDKFILERECOVER1->setObjectName(QStringLiteral("VMDKFILERECOVER1"));
    ABOUT1 = MainMenu1->addAction(QStringLiteral("ABOUT"));
    ABOUT1->setObjectName(QStringLiteral("ABOUT1"));

    PopupMenu1 = new QMenu(this);
    PopupMenu1->setObjectName(QStringLiteral("PopupMenu1"));
    saveout1 = PopupMenu1->addAction(QStringLiteral("save out"));
    saveout1->setObjectName(QStringLiteral("saveout1"));
    PopupMenu2 = new QMenu(this);
    PopupMenu2->setObjectName(QStringLiteral("PopupMenu2"));
    saveout2 = PopupMenu2->addAction(QStringLiteral("save out"));
    saveout2->setObjectName(QStringLiteral("saveout2"));

    setTabOrder(TreeView, Button1);
    setTabOrder(Button1, GroupBox1);
    setTabOrder(GroupBox1, Button2);
    setTabOrder(Button2, ListView2);
    setTabOrder(ListView2, Button4);
    setTabOrder(Button4, Button3);

    connect(Button1, &QPushButton::clicked, this, &Tfrmmain::Button1Click);
    connect(Button2, &QPushButton::clicked, this, &Tfrmmain::Button2Click);
    connect(Button3, &QPushButton::clicked, this, &Tfrmmain::Button3Click);
    connect(Button4, &QPushButton::clicked, this, &Tfrmmain::Button4Click);
    connect(diskssetting1, &QAction::triggered, this, &Tfrmmain::diskssetting1Click);
    connect(brosefile1, &QAction::triggered, this, &Tfrmmain::brosefile1Click);
    connect(deletedfilesrecover1, &QAction::triggered, this, &Tfrmmain::deletedfilesrecover1Click);
    connect(VMDKFILERECOVER1, &QAction::triggered, this, &Tfrmmain::VMDKFILERECOVER1Click);
    connect(ABOUT1, &QAction::triggered, this, &Tfrmmain::ABOUT1Click);
    connect(saveout1, &QAction::triggered, this, &Tfrmmain::saveout1Click);
    connect(saveout2, &QAction::triggered, this, &Tfrmmain::saveout2Click);
    connect(TreeView, &QTreeWidget::itemDoubleClicked, this,
            [this](QTreeWidgetItem* item, int) { tree_double_clicked(item); });
    connect(TreeView, &QWidget::customContextMenuRequested, this, &Tfrmmain::tree_context_menu);
    connect(ListView2, &QWidget::customContextMenuRequested, this, &Tfrmmain::list_context_menu);
}

void Tfrmmain::FormCreate() {
    setWindowTitle(kTitle);
    Memo1->clear();
    ListView2->hide();
}

QTreeWidgetItem* Tfrmmain::selected_node() const {
    const QList<QTreeWidgetItem*> items = TreeView->selectedItems();
    return items.isEmpty() ? nullptr : items.first();
}

QTreeWidgetItem* Tfrmmain::add_node(QTreeWidgetItem* parent, const QString& text, uint32_t data, int image) {
    auto* item = parent ? new QTreeWidgetItem(parent) : new QTreeWidgetItem(TreeView);
    item->setText(0, text);
    item->setData(0, kNodeDataRole, QVariant::fromValue<uint32_t>(data));
    item->setData(0, kImageIndexRole, image);
    item->setIcon(0, ImageList1.value(image));
    return item;
}

// --- the browse command ------------------------------------------------------

void Tfrmmain::Button1Click() {
    if (busy_) return;
    setWindowTitle(kTitle);
    ListView2->hide();
    OpenOutcome outcome = fs_open();
    if (outcome.pane_filled) {
        QStringList lines;
        for (const std::string& line : outcome.info_lines) lines << qs(line);
        Memo1->setPlainText(lines.join(QLatin1Char('\n')));
    }
    if (outcome.tree_rebuilt) {
        TreeView->setUpdatesEnabled(false);
        TreeView->clear();
        add_node(nullptr, QStringLiteral("/"), kRootDirId, 0);
        TreeView->setUpdatesEnabled(true);
    }
    if (!outcome.message.empty()) {
        ui::message(this, qs(outcome.message));
        return;
    }
    if (outcome.completed) TreeView->setToolTip(kTreeHint);
}

// --- directory listing -------------------------------------------------------

void Tfrmmain::tree_double_clicked(QTreeWidgetItem* item) {
    // A listed node opens and closes as the tree control does it by itself.
    if (item && item->childCount() > 0) {
        if (!busy_) item->setExpanded(!item->isExpanded());
        return;
    }
    TreeViewDblClick();
}

int64_t Tfrmmain::first_block_of(const QTreeWidgetItem* node) const {
    // A directory found after a reformat may have its entries in a sub-block
    // that takes the place of its own first block. Its node carries its
    // number; the nodes inside it are read as their descriptors say.
    const QVariant number = node->data(0, kFoundDirRole);
    return number.isValid() ? found_dir_first_block(number.toInt()) : -1;
}

void Tfrmmain::TreeViewDblClick() {
    if (busy_) return;
    QTreeWidgetItem* node = selected_node();
    if (!node || node->childCount() > 0) return;

    const int64_t first_block = first_block_of(node);
    const uint32_t id = node->data(0, kNodeDataRole).toUInt();
    Listing listing = list_directory(id, first_block);
    if (listing.status == ListStatus::open_error) {
        ui::message(this, QStringLiteral("dir open error"));
        return;
    }
    if (listing.status == ListStatus::not_directory) return;
    for (const ListedEntry& e : listing.entries) add_node(node, qs(e.name), e.block_id, e.is_dir ? 0 : 1);
    if (listing.status == ListStatus::complete) expand_all(node);
}

// --- export ------------------------------------------------------------------

void Tfrmmain::saveout1Click() {
    if (busy_) return;
    QTreeWidgetItem* node = selected_node();
    if (!node) return;
    const uint32_t id = node->data(0, kNodeDataRole).toUInt();
    // The found directories' top has no directory file: only its contents,
    // every found directory, can be saved.
    if (!node->parent() && node->text(0) == kAllDirFound) {
        if (node->childCount() > 0) export_folder(node);
        return;
    }
    // A folder node: the whole folder, or (the default) its directory file.
    if (id != 0 && node->data(0, kImageIndexRole).toInt() == 0) {
        const int choice = ui::prompts().choose(
            this, QStringLiteral("save out folder: ") + node->text(0),
            {QStringLiteral("directory file"), QStringLiteral("folder contents")});
        if (choice < 0) return;
        if (choice == 1) {
            export_folder(node);
            return;
        }
    }
    export_descriptor(node->text(0), id, first_block_of(node));
}

void Tfrmmain::export_folder(const QTreeWidgetItem* node) {
    const uint32_t id = node->data(0, kNodeDataRole).toUInt();
    const QString parent_dir = ui::prompts().choose_folder(this);
    if (parent_dir.isEmpty()) return;
    // The copy goes into a new folder named as the node, inside the folder
    // chosen; the manifest beside it.
    const std::string name = node->text(0).toStdString();
    const std::string dest = QFile::encodeName(parent_dir).toStdString() + "/" + host_name_encode(name);
    std::string source;
    for (const QTreeWidgetItem* n = node; n && n->text(0) != kAllDirFound; n = n->parent()) {
        const std::string part = n->text(0).toStdString();
        source = source.empty() ? part : part == "/" ? "/" + source : part + "/" + source;
    }

    Running running(*this);
    g1->setValue(0);
    QElapsedTimer since_repaint;
    FolderExportOptions options;
    options.first_block = first_block_of(node);
    options.source_text = source;
    options.progress = [&](int64_t done, int64_t total) {
        if (!since_repaint.isValid() || since_repaint.elapsed() >= 50 || done >= total) {
            g1->setValue(total > 0 ? int(done * 100 / total) : 100);
            QCoreApplication::processEvents();
            since_repaint.start();
        }
        return !cancel_requested_;
    };
    const bool found_top = !node->parent() && node->text(0) == kAllDirFound;
    std::vector<FolderSource> found;
    if (found_top) {
        options.source_text = name;
        for (int i = 0; i < node->childCount(); ++i) {
            const QTreeWidgetItem* c = node->child(i);
            found.push_back({c->data(0, kNodeDataRole).toUInt(), first_block_of(c), c->text(0).toStdString()});
        }
    }
    FolderExportResult r = found_top ? folder_export_set(found, dest, options) : folder_export(id, dest, options);
    // A manifest left by an earlier export is replaced only when the
    // operator says so.
    if (r.manifest_exists &&
        ui::confirm(this, QStringLiteral("replace manifest: ") + QFile::decodeName(r.manifest_path.c_str()))) {
        options.replace_manifest = true;
        r = found_top ? folder_export_set(found, dest, options) : folder_export(id, dest, options);
    }
    const QString summary = QStringLiteral("files:%1 bytes:%2 failures:%3")
                                .arg(r.files)
                                .arg(r.bytes)
                                .arg(r.failures);
    if (!r.refusal.empty()) {
        ui::message(this, r.refusal == "file open error" ? qs(r.refusal)
                                                         : QStringLiteral("folder save error|") + qs(r.refusal));
    } else if (r.cancelled) {
        ui::message(this, QStringLiteral("export cancelled|written:") + QString::number(r.bytes));
    } else if (!r.complete()) {
        QString text = QStringLiteral("folder save error|failures:") + QString::number(r.failures) +
                       QLatin1Char('\n') + summary;
        // The first few in the box; the manifest lists every one.
        int shown = 0;
        for (const FolderItem& it : r.items)
            if (it.status != FolderItemStatus::ok && shown++ < 10)
                text += QLatin1Char('\n') + qs(std::string(folder_status_text(it.status)) + ": " + it.path);
        if (shown > 10) text += QStringLiteral("\n...");
        if (r.manifest_written) text += QStringLiteral("\nmanifest:") + QFile::decodeName(r.manifest_path.c_str());
        ui::message(this, text);
    } else {
        g1->setValue(100);
        ui::message(this, QStringLiteral("success\n") + summary + QStringLiteral("\nmanifest:") +
                              QFile::decodeName(r.manifest_path.c_str()));
    }
}

void Tfrmmain::saveout2Click() {
    if (busy_ || ListView2->isHidden()) return;
    const QList<QTreeWidgetItem*> rows = ListView2->selectedItems();
    if (rows.isEmpty()) return;
    const uint32_t id = rows.first()->data(0, kDescriptorRole).toUInt();
    if (id == 0) return;
    export_descriptor(QStringLiteral("FILE ") + rows.first()->text(0), id);
}

void Tfrmmain::export_descriptor(const QString& shown, uint32_t descriptor_id, int64_t first_block) {
    if (!ui::confirm(this, QStringLiteral("sure to export file: ") + shown + QStringLiteral("  OUT"))) return;
    tvmfs_inode inode;
    // A found directory's file is written as its listing reads it.
    if (inode_get_substituted(descriptor_id, first_block, inode) != 0) {
        ui::message(this, QStringLiteral("file open error"));
        return;
    }
    const QString path = ui::prompts().save_file(this);
    if (path.isEmpty()) return;
    // A whole device is overwritten only when the operator confirms it by
    // its name; one that shares bytes with a disk being read is refused
    // whatever the answer.
    struct stat st {};
    const bool device = ::stat(QFile::encodeName(path).constData(), &st) == 0 && S_ISBLK(st.st_mode);
    if (device && !ui::confirm(this, QStringLiteral("overwrite the device: ") + path)) return;

    Running running(*this);
    g1->setValue(0);
    QElapsedTimer since_repaint;
    // A virtual disk takes hours to copy: the gauge moves and the window
    // repaints after the first chunk and then at most every 50 ms, so that
    // painting costs nothing next to the copy.
    auto progress = [&](int64_t done, int64_t total) {
        if (done >= total) {
            g1->setValue(100);
            return true;   // the copy is complete: nothing is left to cancel
        }
        if (!since_repaint.isValid() || since_repaint.elapsed() >= 50) {
            g1->setValue(int(done * 100 / total));
            QCoreApplication::processEvents();
            since_repaint.start();
        }
        return !cancel_requested_;
    };
    ExportOptions options;
    options.sha256 = true;
    options.to_device = device;
    ExportResult r = file_export(inode, QFile::encodeName(path).toStdString(), progress, options);
    if (r.failure == ExportFailure::cancelled) {
        ui::message(this, QStringLiteral("export cancelled|written:") + QString::number(r.bytes_written));
    } else if (r.result < 0) {
        QString text = QStringLiteral("file save error|result:") + QString::number(r.result);
        // The file keeps what was written under the name chosen: say so.
        if (r.opened) text += QStringLiteral("\npartial file: ") + path + QStringLiteral("|written:") +
                              QString::number(r.bytes_written);
        // A copy that ended at a bound of a damaged descriptor says which.
        if (r.failure == ExportFailure::past_addressable)
            text += QStringLiteral("\nthe file's size reaches past what its block list can address");
        else if (r.failure == ExportFailure::past_volume)
            text += QStringLiteral("\nthe file holds more data than the logical volume can");
        ui::message(this, text);
    } else {
        // The digest of what was written, for the operator's records.
        ui::message(this, QStringLiteral("success\nsha256:") + qs(r.sha256));
    }
}

// --- recovery ----------------------------------------------------------------

bool Tfrmmain::scan_progress(int gauge) {
    g1->setValue(gauge);
    QCoreApplication::processEvents();
    return !cancel_requested_;
}

void Tfrmmain::show_scan_end(ScanEnd end) {
    const char* text = scan_end_message(end);
    if (text && *text) ui::message(this, QString::fromUtf8(text));
}

void Tfrmmain::AddFileRow(const FileRow& row) {
    auto* item = new QTreeWidgetItem(ListView2);
    const QString cells[] = {qs(row.sn),   qs(row.id),        qs(row.type),     qs(row.size),
                             qs(row.create_at), qs(row.update_at), qs(row.atime)};
    for (int i = 0; i < 7; ++i) item->setText(i, cells[i]);
    item->setCheckState(0, Qt::Unchecked);
    item->setIcon(0, ImageList1.value(1));
    item->setData(0, kImageIndexRole, 1);
    item->setData(0, kDescriptorRole, QVariant::fromValue<uint32_t>(row.descriptor_id));
}

void Tfrmmain::AddPartitionRow(const PartitionRow& row) {
    auto* item = new QTreeWidgetItem(ListView2);
    item->setText(0, qs(row.sn));
    item->setText(1, qs(row.id));
    item->setText(2, qs(row.type));
    item->setText(3, qs(row.size));
    item->setCheckState(0, Qt::Unchecked);
    item->setIcon(0, ImageList1.value(0));
    item->setData(0, kImageIndexRole, 0);
}

void Tfrmmain::Button2Click() {
    if (busy_) return;
    ListView2->clear();
    if (ScanEnd pre = scan_precondition(kFoundFdc); pre != ScanEnd::finished) {
        show_scan_end(pre);
        return;
    }
    Running running(*this);
    ListView2->show();
    ScanProgress progress = [this](int gauge) { return scan_progress(gauge); };
    ScanEnd end = scan_deleted_files(progress, [this](const FileRow& row) { AddFileRow(row); });
    show_scan_end(end);
}

void Tfrmmain::Button3Click() {
    if (busy_) return;
    // Before the browse, or without the system files it reads through, the
    // scan leaves the tree as it is.
    if (ScanEnd pre = scan_precondition(kFoundFdc | kFoundSbc); pre != ScanEnd::finished) {
        show_scan_end(pre);
        return;
    }
    Running running(*this);
    ListView2->hide();
    TreeView->setUpdatesEnabled(false);
    TreeView->clear();
    QTreeWidgetItem* root = add_node(nullptr, kAllDirFound, 0, 0);
    TreeView->setUpdatesEnabled(true);
    ScanProgress progress = [this](int gauge) { return scan_progress(gauge); };
    ScanEnd end = scan_formatted_dirs(progress, [this, root](const found_dir& d) {
        add_node(root, qs(found_dir_name(d)), d.dir_id, 0)->setData(0, kFoundDirRole, d.number);
    });
    show_scan_end(end);
}

void Tfrmmain::Button4Click() {
    if (busy_) return;
    ListView2->clear();
    if (ScanEnd pre = scan_precondition(kFoundPbc); pre != ScanEnd::finished) {
        show_scan_end(pre);
        return;
    }
    Running running(*this);
    ListView2->show();
    ScanProgress progress = [this](int gauge) { return scan_progress(gauge); };
    ScanEnd end = scan_lost_vmdks(progress, [this](const PartitionRow& row) { AddPartitionRow(row); });
    show_scan_end(end);
}

// --- menu --------------------------------------------------------------------

void Tfrmmain::diskssetting1Click() {
    if (busy_) return;
    Tfrmdiskset frm;
    frm.exec();
    // Changed disks closed the file system and forgot the found directories:
    // nothing of the datastore that was open stays on show to be listed or
    // saved, and the window is as before a first browse.
    if (!fs_is_open()) {
        TreeView->clear();
        ListView2->clear();
        ListView2->hide();
        Memo1->clear();
    }
}

void Tfrmmain::brosefile1Click() { Button1->click(); }
void Tfrmmain::deletedfilesrecover1Click() { Button2->click(); }
void Tfrmmain::VMDKFILERECOVER1Click() { Button4->click(); }

void Tfrmmain::ABOUT1Click() {
    if (busy_) return;
    Tfrmabout frm;
    frm.exec();
}

// --- context menus and closing -----------------------------------------------

void Tfrmmain::tree_context_menu(const QPoint& pos) {
    // The menu acts on the node under the pointer, not on one selected earlier.
    if (QTreeWidgetItem* item = TreeView->itemAt(pos)) TreeView->setCurrentItem(item);
    PopupMenu1->popup(TreeView->viewport()->mapToGlobal(pos));
}

void Tfrmmain::list_context_menu(const QPoint& pos) {
    QTreeWidgetItem* item = ListView2->itemAt(pos);
    if (!item) return;
    ListView2->setCurrentItem(item);
    saveout2->setEnabled(item->data(0, kDescriptorRole).toUInt() != 0);
    PopupMenu2->popup(ListView2->viewport()->mapToGlobal(pos));
}

void Tfrmmain::closeEvent(QCloseEvent* event) {
    if (busy_) {
        // Stop the running scan or export; the window closes once it has
        // ended and said how far it got.
        cancel_requested_ = true;
        close_pending_ = true;
        event->ignore();
        return;
    }
    close_pending_ = false;
    event->accept();
}

} // namespace ds
