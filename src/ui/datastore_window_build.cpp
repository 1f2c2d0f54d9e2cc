// The window's controls: how they are made, connected and placed as it grows.
#include "ui/window_common.h"

#include <QScrollBar>

namespace ds {

using namespace ui;

void DatastoreWindow::build() {
    setObjectName(QStringLiteral("datastore_window"));
    setFont(QFont(QStringLiteral("MS Sans Serif"), 8));
    move(7, 64);
    resize(1003, 737);
    images = ui::image_list();

    auto* client = new QWidget(this);
    setCentralWidget(client);

    tree = new QTreeView(client);
    tree->setObjectName(QStringLiteral("tree"));
    tree->setGeometry(8, 8, 537, 497);
    // The name, then the size and modified time each descriptor says.
    tree->header()->setStretchLastSection(false);
    // Every node is one line: a folder of a hundred thousand entries is not
    // measured node by node to lay the tree out.
    tree->setUniformRowHeights(true);
    tree->setIndentation(19);
    tree->setIconSize(QSize(16, 16));
    tree->setSelectionMode(QAbstractItemView::SingleSelection);
    // The double-click lists a directory and expands it; the control's own
    // toggle would collapse it again straight away.
    tree->setExpandsOnDoubleClick(false);
    tree->setContextMenuPolicy(Qt::CustomContextMenu);

    tree_nodes = new ui::DirTreeModel(images, this);
    tree->setModel(tree_nodes);
    tree->setColumnWidth(ui::DirTreeModel::name_column, 300);
    tree->setColumnWidth(ui::DirTreeModel::size_column, 90);
    tree->setColumnWidth(ui::DirTreeModel::modified_column, 130);

    scan_list = new QTreeView(client);
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
    scan_rows = new ui::ScanRowsModel(images, this);
    scan_list->setModel(scan_rows);
    const int widths[] = {100, 80, 180, 180, 150, 150, 150};
    scan_list->header()->setStretchLastSection(false);
    for (int i = 0; i < scan_rows->columnCount(); ++i) scan_list->setColumnWidth(i, widths[i]);

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
    // Captioned by retranslate(), in the language in use.
    browse_button = button("browse_button", QString(), 880, 24, 113, 25);
    deleted_button = button("deleted_button", QString(), 880, 72, 113, 25);
    formatted_button = button("formatted_button", QString(), 880, 112, 113, 25);
    lost_disks_button = button("lost_disks_button", QString(), 880, 152, 121, 25);

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
    open_image_action = file_menu->addAction(QStringLiteral("Open image…"));
    open_image_action->setObjectName(QStringLiteral("open_image_action"));
    open_image_action->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_O));
    disks_action = file_menu->addAction(QStringLiteral("DISKS SETTING"));
    disks_action->setObjectName(QStringLiteral("disks_action"));
    browse_action = file_menu->addAction(QStringLiteral("VIEW FILES"));
    browse_action->setObjectName(QStringLiteral("browse_action"));
    deleted_action = file_menu->addAction(QStringLiteral("FILE RECOVER"));
    deleted_action->setObjectName(QStringLiteral("deleted_action"));
    lost_disks_action = file_menu->addAction(QStringLiteral("VMDK FILE RECOVER"));
    lost_disks_action->setObjectName(QStringLiteral("lost_disks_action"));
    // Each language by its own name, whichever is in use.
    language_menu = main_menu->addMenu(QStringLiteral("LANGUAGE"));
    language_menu->setObjectName(QStringLiteral("language_menu"));
    chinese_action = language_menu->addAction(QStringLiteral("中文"));
    chinese_action->setObjectName(QStringLiteral("chinese_action"));
    english_action = language_menu->addAction(QStringLiteral("English"));
    english_action->setObjectName(QStringLiteral("english_action"));
    for (QAction* a : {chinese_action, english_action}) a->setCheckable(true);
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
    connect(open_image_action, &QAction::triggered, this, &DatastoreWindow::open_image);
    connect(chinese_action, &QAction::triggered, this, [this] {
        ui::use_language(QStringLiteral("zh"));
        retranslate();
    });
    connect(english_action, &QAction::triggered, this, [this] {
        if (!ui::use_language(QStringLiteral("en"))) ui::message(this, QStringLiteral("the English texts could not be loaded"));
        retranslate();
    });
    connect(disks_action, &QAction::triggered, this, &DatastoreWindow::open_disk_settings);
    connect(browse_action, &QAction::triggered, this, &DatastoreWindow::browse_action_triggered);
    connect(deleted_action, &QAction::triggered, this, &DatastoreWindow::deleted_action_triggered);
    connect(lost_disks_action, &QAction::triggered, this, &DatastoreWindow::lost_disks_action_triggered);
    connect(about_action, &QAction::triggered, this, &DatastoreWindow::open_about);
    connect(tree_save_action, &QAction::triggered, this, &DatastoreWindow::save_tree_node);
    connect(list_save_action, &QAction::triggered, this, &DatastoreWindow::save_list_row);
    connect(tree, &QAbstractItemView::doubleClicked, this, &DatastoreWindow::tree_double_clicked);
    connect(tree, &QWidget::customContextMenuRequested, this, &DatastoreWindow::tree_context_menu);
    connect(scan_list, &QWidget::customContextMenuRequested, this, &DatastoreWindow::list_context_menu);
    // Queued: the view is done laying itself out before it is handed more.
    connect(tree->verticalScrollBar(), &QScrollBar::valueChanged, this, &DatastoreWindow::hand_nodes_in_view,
            Qt::QueuedConnection);
    connect(tree, &QTreeView::expanded, this, &DatastoreWindow::hand_nodes_in_view, Qt::QueuedConnection);
    connect(tree, &QTreeView::collapsed, this, &DatastoreWindow::hand_nodes_in_view, Qt::QueuedConnection);
    tree->installEventFilter(this);
    scan_list->installEventFilter(this);

    work_ = new ui::Work(this);
    listing_ = new ui::Listing(this);
    connect(listing_, &ui::Listing::ended, this, &DatastoreWindow::listing_done, Qt::QueuedConnection);
    stat_ = new ui::NodeStat(this);
    connect(stat_, &ui::NodeStat::ended, this, &DatastoreWindow::node_stat_done, Qt::QueuedConnection);
    connect(tree->selectionModel(), &QItemSelectionModel::currentChanged, this,
            [this](const QModelIndex& current) { show_node_stat(current); });
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
    retranslate();
}

// The captions that have an English translation, in the language in use.
void DatastoreWindow::retranslate() {
    browse_button->setText(tx(QT_TRANSLATE_NOOP("DatumSift", "浏览正常文件")));
    deleted_button->setText(tx(QT_TRANSLATE_NOOP("DatumSift", "删除恢复")));
    formatted_button->setText(tx(QT_TRANSLATE_NOOP("DatumSift", "格式化恢复")));
    lost_disks_button->setText(tx(QT_TRANSLATE_NOOP("DatumSift", "虚拟硬盘文件恢复")));
    if (!tree->toolTip().isEmpty()) tree->setToolTip(ui::tree_hint());
    const bool english = ui::language_in_use() == QLatin1String("en");
    english_action->setChecked(english);
    chinese_action->setChecked(!english);
    // The list's type column and the idle status line are made as shown.
    scan_list->viewport()->update();
    if (!busy_) show_idle_status();
}

void DatastoreWindow::changeEvent(QEvent* event) {
    QMainWindow::changeEvent(event);
    if (event->type() == QEvent::LanguageChange && browse_button) retranslate();
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

} // namespace ds
