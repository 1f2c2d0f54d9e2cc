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


// --- recovery ----------------------------------------------------------------

void DatastoreWindow::show_scan_end(ScanEnd end) {
    // Stopped by the window (or ended before it saw that), not by the
    // operator: the list does not hold all it found.
    if (rows_capped_) {
        ui::message(this, ui::shown_limit_message(shown_limit_));
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

} // namespace ds
