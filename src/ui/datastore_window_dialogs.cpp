// The dialogs: saving a file or a folder out, the disk settings and About.
#include "ui/window_common.h"

namespace ds {

using namespace ui;

// --- export ------------------------------------------------------------------

void DatastoreWindow::save_tree_node() {
    if (busy_) return;
    const QModelIndex node = selected_node();
    if (!node.isValid()) return;
    const Node target = ui::node_of(node);
    // The found directories' top has no directory file: only its contents,
    // every found directory, can be saved.
    if (ui::kind_of(node) == ui::NodeKind::found_top) {
        if (tree_nodes->children_held(node) > 0) export_folder(node);
        return;
    }
    // A folder node: the whole folder, or (the default) its directory file.
    if (target.id != 0 && node.data(ui::kImageIndexRole).toInt() == 0) {
        const int choice = ui::prompts().choose(
            this, QStringLiteral("save out folder: ") + node.data().toString(),
            {QStringLiteral("directory file"), QStringLiteral("folder contents")});
        if (choice < 0) return;
        if (choice == 1) {
            export_folder(node);
            return;
        }
    }
    export_descriptor(node.data().toString(), target);
}

// What a folder export needs once the node it came from may be gone.
struct DatastoreWindow::FolderJob {
    Node top;
    std::vector<FolderSource> found;   // the found directories' top: every one of them
    bool found_top = false;
    std::string dest;
    FolderExportOptions options;
};

void DatastoreWindow::export_folder(const QModelIndex& node) {
    const QString parent_dir = ui::prompts().choose_folder(this);
    if (parent_dir.isEmpty()) return;
    auto job = std::make_shared<FolderJob>();
    job->top = ui::node_of(node);
    // The copy goes into a new folder named as the node, inside the folder
    // chosen; the manifest beside it.
    const std::string name = node.data().toString().toStdString();
    job->dest = QFile::encodeName(parent_dir).toStdString() + "/" + host_name_encode(name);
    std::string source;
    for (QModelIndex n = node; n.isValid() && ui::kind_of(n) != ui::NodeKind::found_top; n = n.parent()) {
        const std::string part = n.data().toString().toStdString();
        source = source.empty() ? part : part == "/" ? "/" + source : part + "/" + source;
    }
    // The export layer still takes a found directory's block apart from its id.
    job->options.source_text = source;
    job->found_top = ui::kind_of(node) == ui::NodeKind::found_top;
    if (job->found_top) {
        job->options.source_text = name;
        // Every one the scan found, handed to the tree yet or not.
        tree_nodes->each_child(node, [&job](const Node& n, const std::string& name) { job->found.push_back({n, name}); });
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
                           : folder_export(store, job->top, job->dest, options));
        return [this, job, r] { folder_export_ended(job, *r); };
    });
}

void DatastoreWindow::folder_export_ended(std::shared_ptr<FolderJob> job, const FolderExportResult& r) {
    // A manifest left by an earlier export is replaced only when the
    // operator says so; nothing was written before the question.
    if (r.refused == FolderRefusal::manifest_exists && !job->options.replace_manifest) {
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
                                                                        : QStringLiteral("folder save error|") +
                                                                              qs(folder_refusal_message(r.refused, r.refused_path, r.sys_errno)));
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
    const QModelIndexList rows = scan_list->selectionModel()->selectedRows();
    if (rows.isEmpty()) return;
    const uint32_t id = rows.first().data(ui::kDescriptorRole).toUInt();
    if (id == 0) return;
    export_descriptor(QStringLiteral("FILE ") + rows.first().data().toString(), Node{id, -1},
                      rows.first().data(ui::kSaveNameRole).toString());
}

void DatastoreWindow::export_descriptor(const QString& shown, const Node& node, const QString& suggested) {
    if (!ui::confirm(this, QStringLiteral("sure to export file: ") + shown + QStringLiteral("  OUT"))) return;
    File file;
    // A found directory's file is written as its listing reads it.
    if (!store.open_file(node, file)) {
        ui::message(this, QStringLiteral("file open error"));
        return;
    }
    const QString path = ui::prompts().save_file_named(this, suggested);
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
            } else if (r.failure != ExportFailure::none) {
                QString text = QStringLiteral("file save error|result:-1");
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


// --- menu --------------------------------------------------------------------

void DatastoreWindow::open_disk_settings() {
    if (busy_) return;
    // The dialog changes the disks a listing reads.
    stop_listing();
    DiskSettingsDialog frm(store);
    frm.exec();
    // Changed disks closed the file system and forgot the found directories:
    // nothing of the datastore that was open stays on show to be listed or
    // saved, and the window is as before a first browse.
    if (!store.is_open()) {
        clear_tree();
        scan_rows->clear();
        scan_list->hide();
        volume_text_.clear();
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

} // namespace ds
