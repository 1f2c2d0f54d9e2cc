#include "ui/frmmain.h"

#include "ui/artwork.h"
#include "ui/frmabout.h"
#include "ui/frmdiskset.h"
#include "ui/prompts.h"
#include "ui/status_text.h"
#include "ui/tree_node.h"
#include "ui/window_provenance.h"
#include "ui/work.h"
#include "export/file_export.h"
#include "export/folder_export.h"
#include "vmfs/datastore.h"
#include "text/info_text.h"
#include "text/messages.h"
#include "text/row_text.h"

#include <QAction>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QFile>
#include <QGroupBox>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QResizeEvent>
#include <QShortcut>
#include <QTimer>
#include <QTreeWidget>

#include <ctime>

#include <sys/stat.h>

// Rows travel from the worker thread to the window inside QVariants.
Q_DECLARE_METATYPE(ds::FileRow)
Q_DECLARE_METATYPE(ds::PartitionRow)
Q_DECLARE_METATYPE(ds::FoundDir)

namespace ds {
namespace {

const QString kTitle = QStringLiteral("DATUMSIFT1.0");
const QString kTreeHint = QStringLiteral("双击展开目录");
const QString kAllDirFound = QStringLiteral("ALL DIR FOUND");

QString qs(const std::string& s) { return QString::fromStdString(s); }

QTreeWidgetItem* make_node(const QList<QIcon>& images, const QString& text, const Node& node, int image,
                           ui::NodeKind kind = ui::NodeKind::entry) {
    auto* item = new QTreeWidgetItem;
    item->setText(0, text);
    ui::set_node(item, node, kind);
    item->setData(0, ui::kImageIndexRole, image);
    item->setIcon(0, images.value(image));
    return item;
}

QTreeWidgetItem* file_row_item(const QList<QIcon>& images, const FileRow& row) {
    auto* item = new QTreeWidgetItem;
    const std::array<std::string, 7> cells = file_row_cells(row);
    for (int i = 0; i < 7; ++i) item->setText(i, qs(cells[i]));
    item->setCheckState(0, Qt::Unchecked);
    item->setIcon(0, images.value(1));
    item->setData(0, ui::kImageIndexRole, 1);
    item->setData(0, ui::kDescriptorRole, QVariant::fromValue<uint32_t>(row.descriptor_id));
    return item;
}

QTreeWidgetItem* partition_row_item(const QList<QIcon>& images, const PartitionRow& row) {
    auto* item = new QTreeWidgetItem;
    const std::array<std::string, 4> cells = partition_row_cells(row);
    for (int i = 0; i < 4; ++i) item->setText(i, qs(cells[i]));
    item->setCheckState(0, Qt::Unchecked);
    item->setIcon(0, images.value(0));
    item->setData(0, ui::kImageIndexRole, 0);
    return item;
}

void expand_all(QTreeWidgetItem* item) {
    item->setExpanded(true);
    for (int i = 0; i < item->childCount(); ++i) expand_all(item->child(i));
}

} // namespace

DatastoreWindow::DatastoreWindow(QWidget* parent) : DatastoreWindow(std::make_unique<Datastore>(), parent) {}

DatastoreWindow::DatastoreWindow(std::unique_ptr<Datastore> store, QWidget* parent)
    : QMainWindow(parent), owned_store_(std::move(store)), store(*owned_store_) {
    build();
    show_start();
}

DatastoreWindow::DatastoreWindow(Datastore& store, QWidget* parent) : QMainWindow(parent), store(store) {
    build();
    show_start();
}

DatastoreWindow::~DatastoreWindow() {
    // The work reads the datastore, which may go with this window: it stops
    // first.
    delete work_;
    work_ = nullptr;
}

void DatastoreWindow::build() {
    setObjectName(QStringLiteral("datastore_window"));
    setFont(QFont(QStringLiteral("MS Sans Serif"), 8));
    move(7, 64);
    resize(1003, 737);
    images = ui::image_list();

    auto* client = new QWidget(this);
    setCentralWidget(client);

    tree = new QTreeWidget(client);
    tree->setObjectName(QStringLiteral("tree"));
    tree->setGeometry(8, 8, 537, 497);
    tree->setHeaderHidden(true);
    tree->setColumnCount(1);
    tree->setIndentation(19);
    tree->setIconSize(QSize(16, 16));
    tree->setSelectionMode(QAbstractItemView::SingleSelection);
    // The double-click lists a directory and expands it; the control's own
    // toggle would collapse it again straight away.
    tree->setExpandsOnDoubleClick(false);
    tree->setContextMenuPolicy(Qt::CustomContextMenu);

    scan_list = new QTreeWidget(client);
    scan_list->setObjectName(QStringLiteral("scan_list"));
    scan_list->setGeometry(8, 8, 537, 497);
    scan_list->setRootIsDecorated(false);
    // Every row is one line: the list need not measure each of a scan's
    // hundred thousand rows to lay itself out.
    scan_list->setUniformRowHeights(true);
    scan_list->setSelectionBehavior(QAbstractItemView::SelectRows);
    scan_list->setSelectionMode(QAbstractItemView::SingleSelection);
    scan_list->setIconSize(QSize(16, 16));
    scan_list->setContextMenuPolicy(Qt::CustomContextMenu);
    const QStringList columns = {QStringLiteral("sn"),        QStringLiteral("ID"),
                                 QStringLiteral("type"),      QStringLiteral("size"),
                                 QStringLiteral("create at"), QStringLiteral("last update at "),
                                 QStringLiteral("atime")};
    const int widths[] = {100, 80, 180, 180, 150, 150, 150};
    scan_list->setColumnCount(int(columns.size()));
    scan_list->setHeaderLabels(columns);
    scan_list->header()->setStretchLastSection(false);
    for (int i = 0; i < columns.size(); ++i) scan_list->setColumnWidth(i, widths[i]);

    info_box = new QGroupBox(QStringLiteral("LVM INFO"), client);
    info_box->setObjectName(QStringLiteral("info_box"));
    info_box->setGeometry(568, 8, 305, 457);
    info_text = new QPlainTextEdit(info_box);
    info_text->setObjectName(QStringLiteral("info_text"));
    info_text->setGeometry(8, 16, 289, 433);
    info_text->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    info_box->setFocusProxy(info_text);

    auto button = [client](const char* name, const QString& caption, int x, int y, int w, int h) {
        auto* b = new QPushButton(caption, client);
        b->setObjectName(QLatin1String(name));
        b->setGeometry(x, y, w, h);
        return b;
    };
    browse_button = button("browse_button", QStringLiteral("浏览正常文件"), 880, 24, 113, 25);
    deleted_button = button("deleted_button", QStringLiteral("删除恢复"), 880, 72, 113, 25);
    formatted_button = button("formatted_button", QStringLiteral("格式化恢复"), 880, 112, 113, 25);
    lost_disks_button = button("lost_disks_button", QStringLiteral("虚拟硬盘文件恢复"), 880, 152, 121, 25);

    gauge = new QProgressBar(client);
    gauge->setObjectName(QStringLiteral("gauge"));
    gauge->setGeometry(9, 511, 320, 28);
    gauge->setRange(0, 100);
    gauge->setValue(0);
    gauge->setTextVisible(true);

    // Beside the gauge, only while work runs: the running work's own stop.
    stop_button = new QPushButton(QStringLiteral("stop"), client);
    stop_button->setObjectName(QStringLiteral("stop_button"));
    stop_button->setGeometry(336, 511, 75, 28);
    stop_button->hide();

    status_line = new QLabel(client);
    status_line->setObjectName(QStringLiteral("status_line"));
    status_line->setGeometry(9, 545, 535, 40);
    status_line->setWordWrap(true);
    status_line->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    status_line->setTextFormat(Qt::PlainText);

    banner = new QLabel(client);
    banner->setObjectName(QStringLiteral("banner"));
    banner->setGeometry(552, 472, 433, 193);
    banner->setPixmap(ui::banner_picture(QSize(433, 193)));

    main_menu = menuBar();
    main_menu->setObjectName(QStringLiteral("main_menu"));
    file_menu = main_menu->addMenu(QStringLiteral("FILE"));
    file_menu->setObjectName(QStringLiteral("file_menu"));
    disks_action = file_menu->addAction(QStringLiteral("DISKS SETTING"));
    disks_action->setObjectName(QStringLiteral("disks_action"));
    browse_action = file_menu->addAction(QStringLiteral("VIEW FILES"));
    browse_action->setObjectName(QStringLiteral("browse_action"));
    deleted_action = file_menu->addAction(QStringLiteral("FILE RECOVER"));
    deleted_action->setObjectName(QStringLiteral("deleted_action"));
    lost_disks_action = file_menu->addAction(QStringLiteral("VMDK FILE RECOVER"));
    lost_disks_action->setObjectName(QStringLiteral("lost_disks_action"));
    about_action = main_menu->addAction(QStringLiteral("ABOUT"));
    about_action->setObjectName(QStringLiteral("about_action"));

    tree_menu = new QMenu(this);
    tree_menu->setObjectName(QStringLiteral("tree_menu"));
    tree_save_action = tree_menu->addAction(QStringLiteral("save out"));
    tree_save_action->setObjectName(QStringLiteral("tree_save_action"));
    list_menu = new QMenu(this);
    list_menu->setObjectName(QStringLiteral("list_menu"));
    list_save_action = list_menu->addAction(QStringLiteral("save out"));
    list_save_action->setObjectName(QStringLiteral("list_save_action"));

    setTabOrder(tree, browse_button);
    setTabOrder(browse_button, info_box);
    setTabOrder(info_box, deleted_button);
    setTabOrder(deleted_button, scan_list);
    setTabOrder(scan_list, lost_disks_button);
    setTabOrder(lost_disks_button, formatted_button);

    connect(browse_button, &QPushButton::clicked, this, &DatastoreWindow::browse);
    connect(deleted_button, &QPushButton::clicked, this, &DatastoreWindow::scan_deleted);
    connect(formatted_button, &QPushButton::clicked, this, &DatastoreWindow::scan_formatted);
    connect(lost_disks_button, &QPushButton::clicked, this, &DatastoreWindow::scan_lost_disks);
    connect(disks_action, &QAction::triggered, this, &DatastoreWindow::open_disk_settings);
    connect(browse_action, &QAction::triggered, this, &DatastoreWindow::browse_action_triggered);
    connect(deleted_action, &QAction::triggered, this, &DatastoreWindow::deleted_action_triggered);
    connect(lost_disks_action, &QAction::triggered, this, &DatastoreWindow::lost_disks_action_triggered);
    connect(about_action, &QAction::triggered, this, &DatastoreWindow::open_about);
    connect(tree_save_action, &QAction::triggered, this, &DatastoreWindow::save_tree_node);
    connect(list_save_action, &QAction::triggered, this, &DatastoreWindow::save_list_row);
    connect(tree, &QTreeWidget::itemDoubleClicked, this,
            [this](QTreeWidgetItem* item, int) { tree_double_clicked(item); });
    connect(tree, &QWidget::customContextMenuRequested, this, &DatastoreWindow::tree_context_menu);
    connect(scan_list, &QWidget::customContextMenuRequested, this, &DatastoreWindow::list_context_menu);
    tree->installEventFilter(this);
    scan_list->installEventFilter(this);

    work_ = new ui::Work(this);
    connect(work_, &ui::Work::progressed, this, &DatastoreWindow::work_progressed);
    connect(work_, &ui::Work::rowsArrived, this, &DatastoreWindow::work_rows);
    connect(work_, &ui::Work::ended, this, &DatastoreWindow::work_ended);
    connect(stop_button, &QPushButton::clicked, this, &DatastoreWindow::cancel_work);
    stop_key_ = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    stop_key_->setContext(Qt::WindowShortcut);
    stop_key_->setEnabled(false);
    connect(stop_key_, &QShortcut::activated, this, &DatastoreWindow::cancel_work);

    // It grows, never below the size every control was placed for.
    setMinimumSize(1003, 737);
}

// The tree and the list take what the window gains; the pane, the buttons
// and the banner keep their places to the right edge, the gauge and the
// status line theirs to the bottom.
void DatastoreWindow::place_controls() {
    const int dx = std::max(0, width() - 1003);
    const int dy = std::max(0, height() - 737);
    tree->setGeometry(8, 8, 537 + dx, 497 + dy);
    scan_list->setGeometry(8, 8, 537 + dx, 497 + dy);
    info_box->setGeometry(568 + dx, 8, 305, 457 + dy);
    info_text->setGeometry(8, 16, 289, 433 + dy);
    browse_button->move(880 + dx, 24);
    deleted_button->move(880 + dx, 72);
    formatted_button->move(880 + dx, 112);
    lost_disks_button->move(880 + dx, 152);
    gauge->move(9, 511 + dy);
    stop_button->move(336, 511 + dy);
    status_line->setGeometry(9, 545 + dy, 535 + dx, 40);
    banner->move(552 + dx, 472 + dy);
}

void DatastoreWindow::resizeEvent(QResizeEvent* event) {
    QMainWindow::resizeEvent(event);
    place_controls();
}

void DatastoreWindow::show_start() {
    setWindowTitle(kTitle);
    info_text->clear();
    scan_list->hide();
    show_idle_status();
}

// Until the first browse the status line says where to begin; afterwards it
// is left to the work.
void DatastoreWindow::show_idle_status() {
    if (browsed_) status_line->clear();
    else status_line->setText(store.volume().loaded_extents > 0 ? ui::status_not_opened() : ui::status_no_disks());
}

// --- work on the worker thread -------------------------------------------------

void DatastoreWindow::set_busy(bool busy) {
    busy_ = busy;
    // Everything that would start other work, or change what the work reads.
    for (QPushButton* b : {browse_button, deleted_button, formatted_button, lost_disks_button}) b->setEnabled(!busy);
    for (QAction* a : {disks_action, browse_action, deleted_action, lost_disks_action, tree_save_action, list_save_action})
        a->setEnabled(!busy);
    stop_button->setVisible(busy);
    stop_button->setEnabled(busy);
    stop_key_->setEnabled(busy);
}

void DatastoreWindow::start_work(WorkKind kind, const QString& name, std::function<std::function<void()>(ui::Work&)> body,
                          int64_t total) {
    kind_ = kind;
    work_name_ = name;
    rows_received_ = 0;
    rows_what_ = QStringLiteral("rows");
    browse_waits_ = false;
    rows_capped_ = false;
    work_clock_.start();
    gauge->setValue(0);
    set_busy(true);
    status_line->setText(kind == WorkKind::scan ? scan_status() : ui::status_export(name, 0, total, 0));
    work_->start(std::move(body));
}

void DatastoreWindow::cancel_work() {
    if (!busy_) return;
    work_->cancel();
    stop_button->setEnabled(false);
    status_line->setText(work_name_ + QStringLiteral(": stopping"));
}

void DatastoreWindow::work_progressed() {
    const ui::WorkProgress p = work_->progress();
    gauge->setValue(p.gauge);
    if (work_->cancelled()) return;
    if (kind_ == WorkKind::export_file || kind_ == WorkKind::export_folder)
        status_line->setText(ui::status_export(work_name_, p.done, p.total, double(work_clock_.elapsed()) / 1000.0));
}

void DatastoreWindow::work_rows(const QVariantList& rows) {
    if (rows.isEmpty() || rows_capped_) return;
    // Past what the window holds the scan is stopped: its rows would only
    // be dropped, and the operator is told at its end.
    const int64_t take = std::min<int64_t>(rows.size(), room());
    if (take < rows.size()) {
        rows_capped_ = true;
        work_->cancel();
    }
    if (rows.front().metaType() == QMetaType::fromType<FoundDir>()) {
        QTreeWidgetItem* root = tree->topLevelItem(0);
        if (!root || ui::kind_of(root) != ui::NodeKind::found_top) return;
        QList<QTreeWidgetItem*> nodes;
        nodes.reserve(take);
        for (int64_t i = 0; i < take; ++i) {
            const FoundDir d = rows[i].value<FoundDir>();
            nodes << make_node(images, qs(Datastore::found_dir_name(d)), Datastore::found_dir_node(d), 0);
        }
        root->addChildren(nodes);
        tree_nodes_ += nodes.size();
    } else {
        QList<QTreeWidgetItem*> items;
        items.reserve(take);
        for (int64_t i = 0; i < take; ++i) {
            const QVariant& v = rows[i];
            if (v.metaType() == QMetaType::fromType<FileRow>()) items << file_row_item(images, v.value<FileRow>());
            else if (v.metaType() == QMetaType::fromType<PartitionRow>()) items << partition_row_item(images, v.value<PartitionRow>());
        }
        // One insertion per batch: the list lays itself out once, not per row.
        scan_list->addTopLevelItems(items);
    }
    rows_received_ += take;
    if (kind_ == WorkKind::scan && rows.front().metaType() == QMetaType::fromType<FoundDir>())
        rows_what_ = QStringLiteral("directories");
    if (!work_->cancelled()) status_line->setText(scan_status());
}

QString DatastoreWindow::scan_status() const {
    const QString status = ui::status_scan(work_name_, rows_received_, rows_what_);
    return browse_waits_ ? ui::status_browse_waits(status) : status;
}

void DatastoreWindow::work_ended() {
    std::function<void()> then = work_->join();
    set_busy(false);
    kind_ = WorkKind::none;
    show_idle_status();
    if (then) then();
    rows_capped_ = false;   // said by then; a scan refused later is not capped
    // What ended may have started the next piece (a manifest to replace).
    if (busy_) return;
    emit workEnded();
    if (close_pending_) QTimer::singleShot(0, this, &QWidget::close);
}

QTreeWidgetItem* DatastoreWindow::selected_node() const {
    const QList<QTreeWidgetItem*> items = tree->selectedItems();
    return items.isEmpty() ? nullptr : items.first();
}

QTreeWidgetItem* DatastoreWindow::add_node(QTreeWidgetItem* parent, const QString& text, const Node& node, int image,
                                    ui::NodeKind kind) {
    QTreeWidgetItem* item = make_node(images, text, node, image, kind);
    if (parent) parent->addChild(item);
    else tree->addTopLevelItem(item);
    ++tree_nodes_;
    return item;
}

void DatastoreWindow::clear_tree() {
    tree->clear();
    tree_nodes_ = 0;
}

int64_t DatastoreWindow::room() const {
    return std::max<int64_t>(0, shown_limit_ - tree_nodes_ - scan_list->topLevelItemCount());
}

// --- the browse command ------------------------------------------------------

void DatastoreWindow::browse() {
    if (busy_) return;
    setWindowTitle(kTitle);
    scan_list->hide();
    OpenOutcome outcome = store.open();
    if (outcome.pane_filled) {
        QStringList lines;
        for (const std::string& line : info_lines(store.volume(), store.fs_params())) lines << qs(line);
        info_text->setPlainText(lines.join(QLatin1Char('\n')));
    }
    if (outcome.tree_rebuilt) {
        browsed_ = true;
        show_idle_status();
        tree->setUpdatesEnabled(false);
        clear_tree();
        add_node(nullptr, QStringLiteral("/"), Datastore::root(), 0, ui::NodeKind::entry);
        tree->setUpdatesEnabled(true);
    }
    if (outcome.failure != OpenFailure::none) {
        QString text = QString::fromUtf8(open_message(outcome.failure));
        // What the system said about a disk that could not be read.
        if (outcome.read_failure.sys_errno != 0) text += QLatin1Char('\n') + qs(errno_text(outcome.read_failure.sys_errno));
        ui::message(this, text);
        return;
    }
    if (outcome.completed) tree->setToolTip(kTreeHint);
}

// --- directory listing -------------------------------------------------------

void DatastoreWindow::tree_double_clicked(QTreeWidgetItem* item) {
    // A listed node opens and closes as the tree control does it by itself.
    if (item && item->childCount() > 0) {
        item->setExpanded(!item->isExpanded());
        return;
    }
    list_selected_folder();
}

void DatastoreWindow::list_selected_folder() {
    // A copy leaves the tree free to browse (reads may run side by side); a
    // scan fills the tree or covers it, and the found directories a listing
    // needs are known only once the format recovery has ended.
    if (busy_ && kind_ != WorkKind::export_file && kind_ != WorkKind::export_folder) {
        // Said on the status line, and kept there while the scan reports.
        browse_waits_ = true;
        if (!work_->cancelled()) status_line->setText(scan_status());
        return;
    }
    QTreeWidgetItem* node = selected_node();
    if (!node || node->childCount() > 0) return;

    // A directory found after a reformat is read through the sub-block that
    // may take the place of its first block; its node carries both.
    DirLister lister = store.list(ui::node_of(node));
    if (lister.status() == ListStatus::open_error) {
        ui::message(this, QStringLiteral("dir open error"));
        return;
    }
    if (lister.status() == ListStatus::not_directory) return;
    // Read one entry at a time, and no further than the window holds.
    QList<QTreeWidgetItem*> nodes;
    const int64_t limit = room();
    bool more = false;
    ListedEntry e;
    while (lister.next(e)) {
        if (nodes.size() == limit) {
            more = true;
            break;
        }
        nodes << make_node(images, qs(e.name), e.node(), e.is_dir ? 0 : 1);
    }
    node->addChildren(nodes);
    tree_nodes_ += nodes.size();
    if (more) ui::message(this, ui::shown_limit_message(shown_limit_));
    else if (lister.status() == ListStatus::complete) expand_all(node);
}

// --- export ------------------------------------------------------------------

void DatastoreWindow::save_tree_node() {
    if (busy_) return;
    QTreeWidgetItem* node = selected_node();
    if (!node) return;
    const Node target = ui::node_of(node);
    // The found directories' top has no directory file: only its contents,
    // every found directory, can be saved.
    if (ui::kind_of(node) == ui::NodeKind::found_top) {
        if (node->childCount() > 0) export_folder(node);
        return;
    }
    // A folder node: the whole folder, or (the default) its directory file.
    if (target.id != 0 && node->data(0, ui::kImageIndexRole).toInt() == 0) {
        const int choice = ui::prompts().choose(
            this, QStringLiteral("save out folder: ") + node->text(0),
            {QStringLiteral("directory file"), QStringLiteral("folder contents")});
        if (choice < 0) return;
        if (choice == 1) {
            export_folder(node);
            return;
        }
    }
    export_descriptor(node->text(0), target);
}

// What a folder export needs once the node it came from may be gone.
struct DatastoreWindow::FolderJob {
    Node top;
    std::vector<FolderSource> found;   // the found directories' top: every one of them
    bool found_top = false;
    std::string dest;
    FolderExportOptions options;
};

void DatastoreWindow::export_folder(const QTreeWidgetItem* node) {
    const QString parent_dir = ui::prompts().choose_folder(this);
    if (parent_dir.isEmpty()) return;
    auto job = std::make_shared<FolderJob>();
    job->top = ui::node_of(node);
    // The copy goes into a new folder named as the node, inside the folder
    // chosen; the manifest beside it.
    const std::string name = node->text(0).toStdString();
    job->dest = QFile::encodeName(parent_dir).toStdString() + "/" + host_name_encode(name);
    std::string source;
    for (const QTreeWidgetItem* n = node; n && ui::kind_of(n) != ui::NodeKind::found_top; n = n->parent()) {
        const std::string part = n->text(0).toStdString();
        source = source.empty() ? part : part == "/" ? "/" + source : part + "/" + source;
    }
    // The export layer still takes a found directory's block apart from its id.
    job->options.first_block = job->top.first_block;
    job->options.source_text = source;
    job->found_top = ui::kind_of(node) == ui::NodeKind::found_top;
    if (job->found_top) {
        job->options.source_text = name;
        for (int i = 0; i < node->childCount(); ++i) {
            const QTreeWidgetItem* c = node->child(i);
            const Node n = ui::node_of(c);
            job->found.push_back({n.id, n.first_block, c->text(0).toStdString()});
        }
    }
    run_folder_export(job);
}

void DatastoreWindow::run_folder_export(std::shared_ptr<FolderJob> job) {
    // The manifest says how the copy came about, as the command line's does.
    std::vector<std::string> arguments;
    for (const QString& a : QCoreApplication::arguments()) arguments.push_back(QFile::encodeName(a).toStdString());
    const int64_t started = static_cast<int64_t>(std::time(nullptr));
    const std::string command = "save out folder contents: " + job->options.source_text;
    start_work(WorkKind::export_folder, QString::fromStdString(job->options.source_text),
               [this, job, arguments, started, command](ui::Work& work) {
        FolderExportOptions options = job->options;
        options.provenance = [this, arguments, started, command] {
            return ui::window_provenance(store, started, arguments, command);
        };
        options.progress = [&work](int64_t done, int64_t total) {
            return work.report({total > 0 ? int(done * 100 / total) : 100, done, total});
        };
        auto r = std::make_shared<FolderExportResult>(
            job->found_top ? folder_export_set(store, job->found, job->dest, options)
                           : folder_export(store, job->top.id, job->dest, options));
        return [this, job, r] { folder_export_ended(job, *r); };
    });
}

void DatastoreWindow::folder_export_ended(std::shared_ptr<FolderJob> job, const FolderExportResult& r) {
    // A manifest left by an earlier export is replaced only when the
    // operator says so; nothing was written before the question.
    if (r.manifest_exists && !job->options.replace_manifest) {
        if (ui::confirm(this, QStringLiteral("replace manifest: ") + QFile::decodeName(r.manifest_path.c_str()))) {
            job->options.replace_manifest = true;
            run_folder_export(job);
            return;
        }
    }
    const QString summary = QStringLiteral("files:%1 bytes:%2 failures:%3")
                                .arg(r.files)
                                .arg(r.bytes)
                                .arg(r.failures);
    if (r.refused != FolderRefusal::none) {
        ui::message(this, r.refused == FolderRefusal::source_unreadable ? QStringLiteral("file open error")
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
        gauge->setValue(100);
        ui::message(this, QStringLiteral("success\n") + summary + QStringLiteral("\nmanifest:") +
                              QFile::decodeName(r.manifest_path.c_str()));
    }
}

void DatastoreWindow::save_list_row() {
    if (busy_ || scan_list->isHidden()) return;
    const QList<QTreeWidgetItem*> rows = scan_list->selectedItems();
    if (rows.isEmpty()) return;
    const uint32_t id = rows.first()->data(0, ui::kDescriptorRole).toUInt();
    if (id == 0) return;
    export_descriptor(QStringLiteral("FILE ") + rows.first()->text(0), Node{id, -1});
}

void DatastoreWindow::export_descriptor(const QString& shown, const Node& node) {
    if (!ui::confirm(this, QStringLiteral("sure to export file: ") + shown + QStringLiteral("  OUT"))) return;
    File file;
    // A found directory's file is written as its listing reads it.
    if (!store.open_file(node, file)) {
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

    const std::string host = QFile::encodeName(path).toStdString();
    start_work(WorkKind::export_file, shown, [this, file, host, device, path](ui::Work& work) {
        auto progress = [&work](int64_t done, int64_t total) {
            const bool more = work.report({total > 0 ? int(done * 100 / total) : 100, done, total});
            // A complete copy has nothing left to cancel.
            return more || done >= total;
        };
        ExportOptions options;
        options.sha256 = true;
        options.to_device = device;
        const ExportResult r = file_export(store, file, host, progress, options);
        return [this, r, path] {
            if (r.failure == ExportFailure::cancelled) {
                ui::message(this, QStringLiteral("export cancelled|written:") + QString::number(r.bytes_written));
            } else if (r.result < 0) {
                QString text = QStringLiteral("file save error|result:") + QString::number(r.result);
                // The file keeps what was written under the name chosen: say so.
                if (r.opened)
                    text += QStringLiteral("\npartial file: ") + path + QStringLiteral("|written:") +
                            QString::number(r.bytes_written);
                // A copy that ended at a bound of a damaged descriptor says which.
                if (r.failure == ExportFailure::past_addressable)
                    text += QStringLiteral("\nthe file's size reaches past what its block list can address");
                else if (r.failure == ExportFailure::past_volume)
                    text += QStringLiteral("\nthe file holds more data than the logical volume can");
                // The system's reason, where a disk or the host gave one.
                const int err = r.failure == ExportFailure::read ? r.read_failure.sys_errno : r.host_errno;
                if (err != 0) text += QLatin1Char('\n') + qs(errno_text(err));
                ui::message(this, text);
            } else {
                gauge->setValue(100);
                // The digest of what was written, for the operator's records.
                ui::message(this, QStringLiteral("success\nsha256:") + qs(r.sha256));
            }
        };
    }, file.size());
}

// --- recovery ----------------------------------------------------------------

void DatastoreWindow::show_scan_end(ScanEnd end) {
    // Stopped by the window (or ended before it saw that), not by the
    // operator: the list does not hold all it found.
    if (rows_capped_) {
        ui::message(this, ui::shown_limit_message(shown_limit_));
        return;
    }
    const char* text = scan_end_message(end);
    if (text && *text) ui::message(this, QString::fromUtf8(text));
}

void DatastoreWindow::scan_deleted() {
    if (busy_) return;
    scan_list->clear();
    if (ScanEnd pre = store.scan_ready(ScanKind::deleted); pre != ScanEnd::finished) {
        show_scan_end(pre);
        return;
    }
    scan_list->show();
    start_work(WorkKind::scan, QStringLiteral("deleted-file scan"), [this](ui::Work& work) {
        ScanProgress progress = [&work](int gauge) { return work.report({gauge}); };
        const ScanEnd end =
            store.scan_deleted(progress, [&work](const FileRow& row) { work.add(QVariant::fromValue(row)); }).end;
        return [this, end] { show_scan_end(end); };
    });
}

void DatastoreWindow::scan_formatted() {
    if (busy_) return;
    // Before the browse, or without the system files it reads through, the
    // scan leaves the tree as it is.
    if (ScanEnd pre = store.scan_ready(ScanKind::formatted); pre != ScanEnd::finished) {
        show_scan_end(pre);
        return;
    }
    scan_list->hide();
    tree->setUpdatesEnabled(false);
    clear_tree();
    store.forget_found_dirs();   // the nodes that named them are gone
    add_node(nullptr, kAllDirFound, Node{}, 0, ui::NodeKind::found_top);
    tree->setUpdatesEnabled(true);
    start_work(WorkKind::scan, QStringLiteral("format recovery"), [this](ui::Work& work) {
        ScanProgress progress = [&work](int gauge) { return work.report({gauge}); };
        // Those of a scan that ended early stay browsable, as their nodes
        // do; the datastore keeps them for the paths that name them.
        const ScanEnd end =
            store.scan_formatted(progress, [&work](const FoundDir& d) { work.add(QVariant::fromValue(d)); }).end;
        return [this, end] { show_scan_end(end); };
    });
}

void DatastoreWindow::scan_lost_disks() {
    if (busy_) return;
    scan_list->clear();
    if (ScanEnd pre = store.scan_ready(ScanKind::lost_disks); pre != ScanEnd::finished) {
        show_scan_end(pre);
        return;
    }
    scan_list->show();
    start_work(WorkKind::scan, QStringLiteral("virtual-disk scan"), [this](ui::Work& work) {
        ScanProgress progress = [&work](int gauge) { return work.report({gauge}); };
        const ScanEnd end = store.scan_lost_disks(progress, [&work](const PartitionRow& row) {
                                work.add(QVariant::fromValue(row));
                            }).end;
        return [this, end] { show_scan_end(end); };
    });
}

// --- menu --------------------------------------------------------------------

void DatastoreWindow::open_disk_settings() {
    if (busy_) return;
    DiskSettingsDialog frm(store);
    frm.exec();
    // Changed disks closed the file system and forgot the found directories:
    // nothing of the datastore that was open stays on show to be listed or
    // saved, and the window is as before a first browse.
    if (!store.is_open()) {
        clear_tree();
        scan_list->clear();
        scan_list->hide();
        info_text->clear();
    }
    show_idle_status();
}

void DatastoreWindow::browse_action_triggered() { browse_button->click(); }
void DatastoreWindow::deleted_action_triggered() { deleted_button->click(); }
void DatastoreWindow::lost_disks_action_triggered() { lost_disks_button->click(); }

void DatastoreWindow::open_about() {
    AboutDialog frm;
    frm.exec();
}

// --- context menus and closing -----------------------------------------------

void DatastoreWindow::tree_context_menu(const QPoint& pos) {
    // The menu acts on the node under the pointer, not on one selected earlier.
    if (QTreeWidgetItem* item = tree->itemAt(pos)) tree->setCurrentItem(item);
    tree_menu->popup(tree->viewport()->mapToGlobal(pos));
}

void DatastoreWindow::list_context_menu(const QPoint& pos) {
    QTreeWidgetItem* item = scan_list->itemAt(pos);
    if (!item) return;
    scan_list->setCurrentItem(item);
    list_save_action->setEnabled(item->data(0, ui::kDescriptorRole).toUInt() != 0);
    list_menu->popup(scan_list->viewport()->mapToGlobal(pos));
}

void DatastoreWindow::closeEvent(QCloseEvent* event) {
    if (busy_) {
        event->ignore();
        // An export is the operator's own copy: stopping it is asked first.
        // A scan only looks, and stops; either way the window closes once the
        // work has ended and said how far it got.
        const bool copying = kind_ == WorkKind::export_file || kind_ == WorkKind::export_folder;
        if (copying && !close_pending_ &&
            !ui::confirm(this, QStringLiteral("an export is running|stop it and close the window")))
            return;
        close_pending_ = true;
        cancel_work();
        return;
    }
    close_pending_ = false;
    event->accept();
}

// --- keyboard ------------------------------------------------------------------

// The context-menu key opens the view's menu at its current row, "save out"
// ready for Return.
bool DatastoreWindow::open_popup_by_key(QTreeWidget* view, QMenu* menu, QAction* item) {
    QTreeWidgetItem* current = view->currentItem();
    if (!current) return true;
    if (view == scan_list) item->setEnabled(!busy_ && current->data(0, ui::kDescriptorRole).toUInt() != 0);
    const QRect r = view->visualItemRect(current);
    menu->popup(view->viewport()->mapToGlobal(r.isValid() ? r.bottomLeft() : QPoint(0, 0)));
    menu->setActiveAction(item);
    return true;
}

bool DatastoreWindow::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::KeyPress || (watched != tree && watched != scan_list))
        return QMainWindow::eventFilter(watched, event);
    auto* key = static_cast<QKeyEvent*>(event);
    const bool menu_key = key->key() == Qt::Key_Menu || (key->key() == Qt::Key_F10 && key->modifiers() == Qt::ShiftModifier);
    if (watched == scan_list) return menu_key ? open_popup_by_key(scan_list, list_menu, list_save_action) : false;
    if (menu_key) return open_popup_by_key(tree, tree_menu, tree_save_action);
    QTreeWidgetItem* node = tree->currentItem();
    if (!node || key->modifiers() != Qt::NoModifier) return false;
    switch (key->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        // As the double-click: list an unlisted node, else open or close it.
        tree->setCurrentItem(node);
        tree_double_clicked(node);
        return true;
    case Qt::Key_Right:
        // An unlisted node is listed; a listed one opens as the tree does it.
        if (node->childCount() > 0) return false;
        tree->setCurrentItem(node);
        list_selected_folder();
        return true;
    default:
        return false;
    }
}

} // namespace ds
