// The work on the worker thread: starting, reporting, the rows that arrive,
// and the three recovery scans.
#include "ui/window_common.h"

#include "text/next_steps.h"

namespace ds {

using namespace ui;

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
    capped_at_ = 0;
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
        status_line->setText(
            ui::status_export(work_name_, p.done, p.total, double(work_clock_.elapsed()) / 1000.0, p.read));
}

void DatastoreWindow::work_rows(const QVariantList& rows) {
    if (rows.isEmpty() || rows_capped_) return;
    // Past what the window holds the scan is stopped: its rows would only
    // be dropped, and the operator is told at its end.
    const bool dirs = rows.front().metaType() == QMetaType::fromType<FoundDir>();
    const int64_t take = std::min<int64_t>(rows.size(), room());
    if (take < rows.size()) {
        rows_capped_ = true;
        capped_at_ = shown_limit_;
        work_->cancel();
    }
    if (dirs) {
        const QModelIndex top = tree_nodes->index(0, 0);
        if (!top.isValid() || ui::kind_of(top) != ui::NodeKind::found_top) return;
        std::vector<ui::DirTreeModel::NewNode> nodes(static_cast<size_t>(take));
        for (int64_t i = 0; i < take; ++i) {
            const FoundDir d = rows[i].value<FoundDir>();
            nodes[size_t(i)] = {Datastore::found_dir_name(d), Datastore::found_dir_node(d), 0};
        }
        tree_nodes->add_children(top, std::move(nodes));
        hand_nodes_to_tree(top);
    } else {
        add_list_rows(rows, take);
    }
    rows_received_ += take;
    if (kind_ == WorkKind::scan && dirs) rows_what_ = QStringLiteral("directories");
    if (!work_->cancelled()) status_line->setText(scan_status());
}

void DatastoreWindow::add_list_rows(const QVariantList& rows, int64_t take) {
    // A batch holds one kind of row; kept as found, one append per batch.
    if (rows.front().metaType() == QMetaType::fromType<FileRow>()) {
        std::vector<FileRow> found;
        found.reserve(size_t(take));
        for (int64_t i = 0; i < take; ++i)
            if (rows[i].metaType() == QMetaType::fromType<FileRow>()) found.push_back(rows[i].value<FileRow>());
        scan_rows->add(found);
    } else if (rows.front().metaType() == QMetaType::fromType<PartitionRow>()) {
        std::vector<PartitionRow> found;
        found.reserve(size_t(take));
        for (int64_t i = 0; i < take; ++i)
            if (rows[i].metaType() == QMetaType::fromType<PartitionRow>()) found.push_back(rows[i].value<PartitionRow>());
        scan_rows->add(found);
    }
    hand_rows_to_list();
}

void DatastoreWindow::AddFileRow(const FileRow& row) {
    scan_rows->add(std::vector<FileRow>{row});
    hand_rows_to_list();
}

void DatastoreWindow::AddPartitionRow(const PartitionRow& row) {
    scan_rows->add(std::vector<PartitionRow>{row});
    hand_rows_to_list();
}

void DatastoreWindow::hand_rows_to_list() {
    // The list asks for more rows only as it scrolls or lays itself out. A
    // first page it has at once, shown or not; later rows too while it
    // shows its last one, which no scrolling would ask past.
    auto last_in_view = [this] {
        const int last = scan_rows->rowCount() - 1;
        return scan_list->viewport()->rect().intersects(scan_list->visualRect(scan_rows->index(last, 0)));
    };
    while (scan_rows->canFetchMore({}) && (scan_rows->rowCount() < ui::ScanRowsModel::kPage || last_in_view()))
        scan_rows->fetchMore({});
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


// --- recovery ----------------------------------------------------------------

void DatastoreWindow::show_scan_end(ScanEnd end) {
    // Stopped by the window (or ended before it saw that), not by the
    // operator: the list does not hold all it found.
    if (rows_capped_) {
        ui::message(this, ui::shown_limit_message(capped_at_));
        return;
    }
    const char* text = scan_end_message(end);
    if (!text || !*text) return;
    QString shown = QString::fromUtf8(text);
    // Not open: because the disks changed after a browse opened them, or
    // because no browse has yet; either way the browse button is the next step.
    if (end == ScanEnd::not_open)
        shown += QLatin1Char('\n') +
                 QString::fromStdString(not_open_next_step(
                     opened_once_, "the browse button (" + browse_button->text().toStdString() + ")"));
    ui::message(this, shown);
}

// A scan that ended at a sector it could not read is asked about once: yes
// runs it again passing over what cannot be read; no keeps what it found and
// says how it ended, as always.
void DatastoreWindow::scan_ended(ScanEnd end, int64_t unreadable, bool rescued, void (DatastoreWindow::*again)()) {
    const bool unread = end == ScanEnd::bitmap_read_failed || end == ScanEnd::descriptor_read_failed;
    if (!rescued && unread && !rows_capped_ && ask_rescue()) {
        rescue_next_ = true;
        (this->*again)();
        return;
    }
    if (rescued && unreadable > 0)
        status_line->setText(QStringLiteral("unreadable: %1 bytes passed over").arg(unreadable));
    show_scan_end(end);
}

namespace {

int64_t bytes_of(const std::vector<SkippedArea>& areas) {
    int64_t n = 0;
    for (const SkippedArea& a : areas) n += a.length;
    return n;
}

} // namespace

void DatastoreWindow::scan_deleted() {
    if (busy_) return;
    const bool rescue = std::exchange(rescue_next_, false);
    scan_rows->clear();
    if (ScanEnd pre = store.scan_ready(ScanKind::deleted); pre != ScanEnd::finished) {
        show_scan_end(pre);
        return;
    }
    scan_list->show();
    start_work(WorkKind::scan, QStringLiteral("deleted-file scan"), [this, rescue](ui::Work& work) {
        ScanProgress progress = [&work](int gauge) { return work.report({gauge}); };
        store.set_scan_rescue(rescue);
        // The deleted directories are found too, for the names their entries
        // give; the list shows the files alone, numbered as it always was.
        std::vector<DeletedItem> items;
        int n = 0;
        const ScanResult<FileRow> r = store.scan_deleted(progress, [&](const FileRow& row) {
            items.push_back({row.descriptor_id, row.is_dir});
            if (row.is_dir) return;
            FileRow shown = row;
            shown.n = ++n;
            work.add(QVariant::fromValue(shown));
        }, true);
        store.set_scan_rescue(false);
        const ScanEnd end = r.end;
        const int64_t lost = bytes_of(r.unreadable);
        auto names = std::make_shared<DeletedNames>();
        if (!work.cancelled()) {
            DeletedNameOptions options;
            options.go_on = [&work] { return !work.cancelled(); };
            *names = store.name_deleted(items, options);
        }
        return [this, end, lost, rescue, names] {
            scan_rows->set_names(*names);
            scan_ended(end, lost, rescue, &DatastoreWindow::scan_deleted);
        };
    });
}


void DatastoreWindow::scan_formatted() {
    if (busy_) return;
    const bool rescue = std::exchange(rescue_next_, false);
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
    tree_nodes->add({}, kAllDirFound.toStdString(), Node{}, 0, ui::NodeKind::found_top);
    tree->setUpdatesEnabled(true);
    start_work(WorkKind::scan, QStringLiteral("format recovery"), [this, rescue](ui::Work& work) {
        ScanProgress progress = [&work](int gauge) { return work.report({gauge}); };
        // Those of a scan that ended early stay browsable, as their nodes
        // do; the datastore keeps them for the paths that name them.
        store.set_scan_rescue(rescue);
        const ScanResult<FoundDir> r =
            store.scan_formatted(progress, [&work](const FoundDir& d) { work.add(QVariant::fromValue(d)); });
        store.set_scan_rescue(false);
        const ScanEnd end = r.end;
        const int64_t lost = bytes_of(r.unreadable);
        return [this, end, lost, rescue] { scan_ended(end, lost, rescue, &DatastoreWindow::scan_formatted); };
    });
}

void DatastoreWindow::scan_lost_disks() {
    if (busy_) return;
    const bool rescue = std::exchange(rescue_next_, false);
    scan_rows->clear();
    lost_candidates_.clear();
    if (ScanEnd pre = store.scan_ready(ScanKind::lost_disks); pre != ScanEnd::finished) {
        show_scan_end(pre);
        return;
    }
    scan_list->show();
    start_work(WorkKind::scan, QStringLiteral("virtual-disk scan"), [this, rescue](ui::Work& work) {
        ScanProgress progress = [&work](int gauge) { return work.report({gauge}); };
        // The free pointer blocks it passes are what a row's disk is
        // rebuilt from when it is saved out.
        auto candidates = std::make_shared<std::vector<PointerBlockCandidate>>();
        store.set_scan_rescue(rescue);
        const ScanResult<PartitionRow> r = store.scan_lost_disks(
            progress, [&work](const PartitionRow& row) { work.add(QVariant::fromValue(row)); }, *candidates);
        store.set_scan_rescue(false);
        const ScanEnd end = r.end;
        const int64_t lost = bytes_of(r.unreadable);
        return [this, end, lost, rescue, candidates] {
            lost_candidates_ = std::move(*candidates);
            scan_ended(end, lost, rescue, &DatastoreWindow::scan_lost_disks);
        };
    });
}

} // namespace ds
