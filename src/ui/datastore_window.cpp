// The window itself: the datastore it reads, the browse, the tree's listing, the
// context menus, the keyboard and closing.
#include "ui/window_common.h"

namespace ds {

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
    // A listing's node goes with the tree.
    stop_listing();
    tree->clear();
    tree_nodes_ = 0;
}

int64_t DatastoreWindow::room() const {
    return std::max<int64_t>(0, shown_limit_ - tree_nodes_ - scan_rows->held());
}

int64_t DatastoreWindow::tree_room() const {
    return std::min<int64_t>(room(), std::max<int64_t>(0, kMaxTreeNodes - tree_nodes_));
}

// The bound a node past tree_room() would pass, as the operator is told it.
int64_t DatastoreWindow::tree_bound() const {
    return kMaxTreeNodes - tree_nodes_ < room() ? kMaxTreeNodes : shown_limit_;
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
    if (outcome.completed) tree->setToolTip(tree_hint());
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

void DatastoreWindow::start_listing(QTreeWidgetItem* node) {
    listing_node_ = node;
    // A directory found after a reformat is read through the sub-block that
    // may take the place of its first block; its node carries both.
    listing_->start(store, ui::node_of(node), tree_room());
}

void DatastoreWindow::listing_done(quint64 serial) {
    // One stopped, or followed by another, says nothing.
    if (serial != listing_->serial() || !listing_->running()) return;
    ui::Listed r = listing_->take();
    QTreeWidgetItem* node = std::exchange(listing_node_, nullptr);
    if (r.status == ListStatus::open_error) {
        ui::message(this, QStringLiteral("dir open error"));
    } else if (r.status != ListStatus::not_directory && node->childCount() == 0) {
        // A scan may have filled the list meanwhile: no further than the
        // window holds now.
        const int64_t take = std::min<int64_t>(int64_t(r.entries.size()), tree_room());
        const bool more = r.more || take < int64_t(r.entries.size());
        const int64_t bound = tree_bound();
        QList<QTreeWidgetItem*> nodes;
        nodes.reserve(take);
        for (int64_t i = 0; i < take; ++i) {
            const ListedEntry& e = r.entries[size_t(i)];
            nodes << make_node(images, qs(e.name), e.node(), e.is_dir ? 0 : 1);
        }
        node->addChildren(nodes);
        tree_nodes_ += nodes.size();
        if (more) ui::message(this, ui::shown_limit_message(bound));
        else if (r.status == ListStatus::complete) expand_all(node);
    }
    while (!list_queue_.empty()) {
        QTreeWidgetItem* next = list_queue_.front();
        list_queue_.pop_front();
        if (next->childCount() > 0) continue;
        start_listing(next);
        return;
    }
    emit listingEnded();
}

void DatastoreWindow::stop_listing() {
    list_queue_.clear();
    if (!listing_->running()) return;
    listing_->stop();
    listing_node_ = nullptr;
    emit listingEnded();
}


// --- context menus and closing -----------------------------------------------

void DatastoreWindow::tree_context_menu(const QPoint& pos) {
    // The menu acts on the node under the pointer, not on one selected earlier.
    if (QTreeWidgetItem* item = tree->itemAt(pos)) tree->setCurrentItem(item);
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
