// The window itself: the datastore it reads, the browse, the tree's listing, the
// context menus, the keyboard and closing.
#include "ui/window_common.h"

#include "text/next_steps.h"

namespace ds {
namespace {

// The node's path as the tree shows it: "/vm1/logs", "DIR2/sub".
std::string node_path(const QModelIndex& node) {
    std::string path;
    for (QModelIndex n = node.siblingAtColumn(0); n.isValid(); n = n.parent()) {
        const std::string part = n.data().toString().toStdString();
        path = path.empty() ? part : part == "/" ? "/" + path : part + "/" + path;
    }
    return path;
}

} // namespace

using namespace ui;


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
    // The work and a listing read the datastore, which may go with this
    // window: they stop first.
    delete work_;
    work_ = nullptr;
    delete listing_;
    listing_ = nullptr;
    delete stat_;
    stat_ = nullptr;
}


void DatastoreWindow::show_start() {
    setWindowTitle(kTitle);
    volume_text_.clear();
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


QModelIndex DatastoreWindow::selected_node() const {
    const QModelIndexList rows = tree->selectionModel()->selectedIndexes();
    return rows.isEmpty() ? QModelIndex() : rows.first().siblingAtColumn(0);
}

void DatastoreWindow::clear_tree() {
    // A listing's node goes with the tree.
    stop_listing();
    tree_nodes->clear();
}

int64_t DatastoreWindow::room() const {
    return std::max<int64_t>(0, shown_limit_ - tree_nodes->held() - scan_rows->held());
}

// The tree asks for more of a folder only as it scrolls or lays itself out:
// while the folder's last shown node is in view (found directories arriving
// at the end of what is shown), nothing would ask, so it is handed more.
void DatastoreWindow::hand_nodes_to_tree(const QModelIndex& parent) {
    auto last_in_view = [&] {
        const int last = tree_nodes->rowCount(parent) - 1;
        if (last < 0 || !tree->isExpanded(parent)) return false;
        return tree->viewport()->rect().intersects(tree->visualRect(tree_nodes->index(last, 0, parent)));
    };
    while (tree_nodes->canFetchMore(parent) && last_in_view()) tree_nodes->fetchMore(parent);
}

// The view asks for more of a folder only when the last row of the whole
// tree comes into view: a folder with anything below it (a sibling, a
// folder further up) would show its first pages and no more. Every folder
// whose last shown node is in view is handed its next page.
void DatastoreWindow::hand_nodes_in_view() {
    const QRect area = tree->viewport()->rect();
    std::vector<QPersistentModelIndex> wanting;
    int rows = 0;
    for (QModelIndex row = tree->indexAt(area.topLeft()).siblingAtColumn(0);
         row.isValid() && rows < 1000 && tree->visualRect(row).intersects(area); row = tree->indexBelow(row), ++rows) {
        // The last shown child of its folder, or of a folder further up
        // through last children.
        for (QModelIndex r = row; r.isValid() && r.row() == tree_nodes->rowCount(r.parent()) - 1; r = r.parent()) {
            const QModelIndex folder = r.parent();
            if (folder.isValid() && tree_nodes->canFetchMore(folder)) {
                wanting.emplace_back(folder);
                break;
            }
        }
    }
    for (const QPersistentModelIndex& folder : wanting)
        if (folder.isValid() && tree_nodes->canFetchMore(folder)) tree_nodes->fetchMore(folder);
}

// --- the browse command ------------------------------------------------------

void DatastoreWindow::browse() {
    if (busy_) return;
    setWindowTitle(kTitle);
    scan_list->hide();
    // Opening may change what a listing reads.
    stop_listing();
    OpenOutcome outcome = store.open();
    if (outcome.pane_filled) {
        QStringList lines;
        for (const std::string& line : info_lines(store.volume(), store.fs_params())) lines << qs(line);
        volume_text_ = lines.join(QLatin1Char('\n'));
        info_text->setPlainText(volume_text_);
    }
    if (outcome.tree_rebuilt) {
        browsed_ = true;
        show_idle_status();
        tree->setUpdatesEnabled(false);
        clear_tree();
        tree_nodes->add({}, "/", Datastore::root(), 0);
        tree->setUpdatesEnabled(true);
    }
    if (outcome.failure != OpenFailure::none) {
        QString text = QString::fromUtf8(open_message(outcome.failure));
        // What the system said about a disk that could not be read.
        if (outcome.read_failure.sys_errno != 0) text += QLatin1Char('\n') + qs(errno_text(outcome.read_failure.sys_errno));
        ui::message(this, text);
        return;
    }
    opened_once_ = true;
    if (outcome.completed) tree->setToolTip(tree_hint());
}

// --- directory listing -------------------------------------------------------

void DatastoreWindow::tree_double_clicked(const QModelIndex& index) {
    // A listed node opens and closes as the tree control does it by itself.
    const QModelIndex node = index.siblingAtColumn(0);
    if (node.isValid() && tree_nodes->hasChildren(node)) {
        tree->setExpanded(node, !tree->isExpanded(node));
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
    const QModelIndex node = selected_node();
    if (!node.isValid() || tree_nodes->hasChildren(node)) return;
    // The disk is read on the listing's thread; a node asked for while
    // another is listed waits its turn, once.
    if (listing_->running()) {
        if (node != listing_node_ && std::find(list_queue_.begin(), list_queue_.end(), node) == list_queue_.end())
            list_queue_.push_back(node);
        return;
    }
    start_listing(node);
}

bool DatastoreWindow::listing() const { return listing_ && listing_->running(); }

void DatastoreWindow::start_listing(const QModelIndex& node) {
    listing_node_ = node;
    // A directory found after a reformat is read through the sub-block that
    // may take the place of its first block; its node carries both.
    listing_->start(store, ui::node_of(node), room());
}

void DatastoreWindow::listing_done(quint64 serial) {
    // One stopped, or followed by another, says nothing.
    if (serial != listing_->serial() || !listing_->running()) return;
    ui::Listed r = listing_->take();
    const QModelIndex node = std::exchange(listing_node_, QPersistentModelIndex());
    if (!node.isValid()) {
        // Its tree was cleared meanwhile.
    } else if (r.status == ListStatus::open_error) {
        // The window's text, then which directory and why.
        FileInfo info;
        const Failure why = store.stat(ui::node_of(node), info).failure;
        ui::message(this, QStringLiteral("dir open error\n") + qs(dir_unreadable_next_step(node_path(node), why)));
    } else if (r.status != ListStatus::not_directory && !tree_nodes->hasChildren(node)) {
        // A scan may have filled the list meanwhile: no further than the
        // window holds now.
        const int64_t take = std::min<int64_t>(int64_t(r.entries.size()), room());
        const bool more = r.more || take < int64_t(r.entries.size());
        std::vector<ui::DirTreeModel::NewNode> nodes(static_cast<size_t>(take));
        for (int64_t i = 0; i < take; ++i) {
            ListedEntry& e = r.entries[size_t(i)];
            const ui::Listed::Stat st = size_t(i) < r.stats.size() ? r.stats[size_t(i)] : ui::Listed::Stat{};
            nodes[size_t(i)] = {std::move(e.name), e.node(), e.is_dir ? 0 : 1, ui::NodeKind::entry, st.stated, st.size,
                                st.modified};
        }
        r.entries = {};
        r.stats = {};
        tree_nodes->add_children(node, std::move(nodes));
        if (more) ui::message(this, ui::shown_limit_message(shown_limit_));
        else if (r.status == ListStatus::complete) tree->expand(node);
    }
    while (!list_queue_.empty()) {
        const QPersistentModelIndex next = list_queue_.front();
        list_queue_.pop_front();
        if (!next.isValid() || tree_nodes->hasChildren(next)) continue;
        start_listing(next);
        return;
    }
    emit listingEnded();
}

void DatastoreWindow::stop_listing() {
    // The selected node's read goes too: what it reads may change next.
    stat_wanted_ = false;
    stat_->stop();
    list_queue_.clear();
    if (!listing_->running()) return;
    listing_->stop();
    listing_node_ = QPersistentModelIndex();
    emit listingEnded();
}


// --- the selected node in the info pane ------------------------------------------

void DatastoreWindow::show_node_stat(const QModelIndex& current) {
    // The node left behind goes from the pane at once.
    info_text->setPlainText(volume_text_);
    const Node node = current.isValid() && ui::kind_of(current) == ui::NodeKind::entry ? ui::node_of(current) : Node{};
    // Read as a listing is: beside an export, not during a scan.
    stat_wanted_ = node.id != 0 && !(busy_ && kind_ == WorkKind::scan);
    if (!stat_wanted_) return;
    stat_node_ = node;
    if (!stat_->running()) stat_->start(store, node);
}

void DatastoreWindow::node_stat_done(quint64 serial) {
    if (serial != stat_->serial() || !stat_->running()) return;
    const ui::Stated s = stat_->take();
    if (!stat_wanted_) return;
    const Node wanted = stat_node_;
    if (s.node != wanted) {
        // The selection moved on while it was read.
        stat_->start(store, wanted);
        return;
    }
    stat_wanted_ = false;
    const QString text = ui::stat_text(s);
    info_text->setPlainText(volume_text_.isEmpty() ? text : volume_text_ + QStringLiteral("\n\n") + text);
}

// --- context menus and closing -----------------------------------------------

void DatastoreWindow::tree_context_menu(const QPoint& pos) {
    // The menu acts on the node under the pointer, not on one selected earlier.
    if (const QModelIndex node = tree->indexAt(pos); node.isValid()) tree->setCurrentIndex(node.siblingAtColumn(0));
    tree_menu->popup(tree->viewport()->mapToGlobal(pos));
}

void DatastoreWindow::list_context_menu(const QPoint& pos) {
    const QModelIndex row = scan_list->indexAt(pos).siblingAtColumn(0);
    if (!row.isValid()) return;
    scan_list->setCurrentIndex(row);
    list_save_action->setEnabled(row_saveable(row));
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
bool DatastoreWindow::open_popup_by_key(QTreeView* view, QMenu* menu, QAction* item) {
    const QModelIndex current = view->currentIndex().siblingAtColumn(0);
    if (!current.isValid()) return true;
    if (view == scan_list) item->setEnabled(!busy_ && row_saveable(current));
    const QRect r = view->visualRect(current);
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
    const QModelIndex node = tree->currentIndex().siblingAtColumn(0);
    if (!node.isValid() || key->modifiers() != Qt::NoModifier) return false;
    switch (key->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        // As the double-click: list an unlisted node, else open or close it.
        tree->setCurrentIndex(node);
        tree_double_clicked(node);
        return true;
    case Qt::Key_Right:
        // An unlisted node is listed; a listed one opens as the tree does it.
        if (tree_nodes->hasChildren(node)) return false;
        tree->setCurrentIndex(node);
        list_selected_folder();
        return true;
    default:
        return false;
    }
}

} // namespace ds
