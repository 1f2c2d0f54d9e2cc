// The dialogs: saving a file or a folder out, the disk settings and About.
#include "ui/window_common.h"

#include <cerrno>

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
    std::string host_name;   // of the new folder, inside the folder chosen
    FolderExportOptions options;
    bool rescue = false;     // unreadable sectors are written as zeros, the manifest names them
};

void DatastoreWindow::export_folder(const QModelIndex& node) {
    const QString parent_dir = ui::prompts().choose_folder(this);
    if (parent_dir.isEmpty()) return;
    auto job = std::make_shared<FolderJob>();
    job->top = ui::node_of(node);
    // The copy goes into a new folder named as the node, inside the folder
    // chosen; the manifest beside it.
    const std::string name = node.data().toString().toStdString();
    job->host_name = host_name_encode(name);
    job->dest = QFile::encodeName(parent_dir).toStdString() + "/" + job->host_name;
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
        // Only a disk that failed to read is worth a copy with zeros; a
        // damaged descriptor or a host that refused is not.
        bool met_unreadable = false;
        options.item_done = [&met_unreadable](const FolderItem& it) {
            if (it.status == FolderItemStatus::partial && it.export_failure == ExportFailure::read && it.sys_errno == EIO)
                met_unreadable = true;
        };
        options.rescue = job->rescue;
        // Listings pass over entries on unreadable sectors for this copy only.
        store.set_list_rescue(job->rescue);
        auto r = std::make_shared<FolderExportResult>(
            job->found_top ? folder_export_set(store, job->found, job->dest, options)
                           : folder_export(store, job->top, job->dest, options));
        store.set_list_rescue(false);
        return [this, job, r, met_unreadable] { folder_export_ended(job, *r, met_unreadable); };
    });
}

void DatastoreWindow::folder_export_ended(std::shared_ptr<FolderJob> job, const FolderExportResult& r, bool met_unreadable) {
    // A manifest left by an earlier export is replaced only when the
    // operator says so; nothing was written before the question.
    if (r.refused == FolderRefusal::manifest_exists && !job->options.replace_manifest) {
        if (ui::confirm(this, QStringLiteral("replace manifest: ") + QFile::decodeName(r.manifest_path.c_str()))) {
            job->options.replace_manifest = true;
            run_folder_export(job);
            return;
        }
    }
    // A disk that failed to read: asked once whether to copy again with
    // zeros. The copy so far and its manifest are evidence of what was read
    // and are never replaced or removed: the second copy goes to a folder
    // the operator chooses anew (a destination that is not empty is refused
    // as always). No, or no folder, keeps the copy as it stopped.
    if (!job->rescue && met_unreadable && !r.cancelled && r.refused == FolderRefusal::none && ask_rescue()) {
        ui::message(this, QStringLiteral("the copy so far stays in ") + QFile::decodeName(job->dest.c_str()) +
                              QStringLiteral(" with its manifest; choose a folder for the copy with zeros"));
        const QString parent_dir = ui::prompts().choose_folder(this);
        if (!parent_dir.isEmpty()) {
            auto again = std::make_shared<FolderJob>(*job);
            again->rescue = true;
            again->options.replace_manifest = false;
            again->dest = QFile::encodeName(parent_dir).toStdString() + "/" + job->host_name;
            run_folder_export(again);
            return;
        }
    }
    QString summary = QStringLiteral("files:%1 bytes:%2 failures:%3")
                                .arg(r.files)
                                .arg(r.bytes)
                                .arg(r.failures);
    // What could not be read, in the box and, once it is gone, on the status
    // line; the manifest has every range.
    if (job->rescue && r.refused == FolderRefusal::none && (r.unreadable_items > 0 || r.skipped_entries > 0)) {
        QString unreadable = QStringLiteral("unreadable: %1 bytes in %2 items, filled with zeros")
                                 .arg(r.unreadable_bytes)
                                 .arg(r.unreadable_items);
        if (r.skipped_entries > 0)
            unreadable += QStringLiteral("; %1 directory entries passed over").arg(r.skipped_entries);
        // The box names the manifest after the summary.
        if (r.manifest_written) unreadable += QStringLiteral("; the manifest names them");
        summary += QLatin1Char('\n') + unreadable;
        if (r.manifest_written) unreadable += QStringLiteral(": ") + QFile::decodeName(r.manifest_path.c_str());
        status_line->setText(unreadable);
    }
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
    if (id != 0)
        export_descriptor(QStringLiteral("FILE ") + rows.first().data().toString(), Node{id, -1},
                          rows.first().data(ui::kSaveNameRole).toString());
    else save_lost_disk(rows.first().row());
}

// A file row has its descriptor; a lost-disk row its pointer block.
bool DatastoreWindow::row_saveable(const QModelIndex& row) const {
    if (!row.isValid()) return false;
    if (row.data(ui::kDescriptorRole).toUInt() != 0) return true;
    const PartitionRow* p = scan_rows->partition_at(row.row());
    return p && p->pointer_block != 0;
}

// What a copy to the host needs once it has been asked for.
struct DatastoreWindow::FileJob {
    QString shown;
    File file;
    std::string host;
    QString path;
    bool device = false;
    bool rescue = false;                           // unreadable sectors are written as zeros
    std::shared_ptr<const RebuiltDisk> rebuilt;    // a lost disk: what its note says
};

namespace {

// Where a copy's file goes, asked for after what is copied is known.
bool ask_destination(QWidget* parent, QString& path, bool& device, const QString& suggested = {}) {
    path = ui::prompts().save_file_named(parent, suggested);
    if (path.isEmpty()) return false;
    // A whole device is overwritten only when the operator confirms it by
    // its name; one that shares bytes with a disk being read is refused
    // whatever the answer.
    struct stat st {};
    device = ::stat(QFile::encodeName(path).constData(), &st) == 0 && S_ISBLK(st.st_mode);
    return !device || ui::confirm(parent, QStringLiteral("overwrite the device: ") + path);
}

} // namespace

void DatastoreWindow::export_descriptor(const QString& shown, const Node& node, const QString& suggested) {
    if (!ui::confirm(this, QStringLiteral("sure to export file: ") + shown + QStringLiteral("  OUT"))) return;
    auto job = std::make_shared<FileJob>();
    job->shown = shown;
    // A found directory's file is written as its listing reads it.
    if (!store.open_file(node, job->file)) {
        ui::message(this, QStringLiteral("file open error"));
        return;
    }
    if (!ask_destination(this, job->path, job->device, suggested)) return;
    job->host = QFile::encodeName(job->path).toStdString();
    export_file(job);
}

// The virtual disk of a lost-disk row, rebuilt as the command line's
// export vmdk:N rebuilds it, from the pointer blocks the scan gathered.
void DatastoreWindow::save_lost_disk(int row) {
    const PartitionRow* p = scan_rows->partition_at(row);
    if (!p) return;
    const PartitionRow found = *p;
    auto job = std::make_shared<FileJob>();
    job->shown = QStringLiteral("VMDK ") + QString::number(found.n);
    if (!ui::confirm(this, QStringLiteral("sure to export file: ") + job->shown + QStringLiteral("  OUT"))) return;
    if (found.pointer_block == 0 || found.addressed_bytes <= 0) {
        ui::message(this, QStringLiteral("file open error"));
        return;
    }
    auto disk = std::make_shared<RebuiltDisk>(store.rebuild_lost_disks({found}, lost_candidates_).front());
    job->file = store.rebuilt_disk_file(*disk);
    job->rebuilt = disk;
    if (!ask_destination(this, job->path, job->device)) return;
    job->host = QFile::encodeName(job->path).toStdString();
    export_file(job);
}

void DatastoreWindow::export_file(std::shared_ptr<FileJob> job) {
    // The map of unreadable bytes goes beside the copy, as the command
    // line's does, and is made only when a sector could not be read.
    const std::string map_path = job->host + ".map";
    start_work(WorkKind::export_file, job->shown, [this, job, map_path](ui::Work& work) {
        // A thin file's holes are written without being read: the rate and
        // the summary count what was read.
        int64_t read = 0;
        auto progress = [&work, &read](int64_t done, int64_t total) {
            const bool more = work.report({total > 0 ? int(done * 100 / total) : 100, done, total, read});
            // A complete copy has nothing left to cancel.
            return more || done >= total;
        };
        ExportOptions options;
        options.sha256 = true;
        options.to_device = job->device;
        options.bytes_read = &read;
        RescueMap map(map_path);
        int map_errno = 0;
        if (job->rescue) {
            options.rescue = true;
            options.unreadable = [&map, &map_errno](ByteSpan bad) {
                if (map.add(bad)) return true;
                map_errno = map.error();
                return false;
            };
        }
        ExportResult r = file_export(store, job->file, job->host, progress, options);
        // The map describes exactly what the copy holds, a partial one too.
        if (job->rescue && !map.finish(r.bytes_written) && r.failure == ExportFailure::none) {
            r.failure = ExportFailure::unreadable_sink;
            map_errno = map.error();
        }
        if (r.failure == ExportFailure::unreadable_sink) r.host_errno = map_errno;
        const QString shown_map = map.created() ? QFile::decodeName(map_path.c_str()) : QString();
        return [this, job, r, shown_map, read] { file_export_ended(job, r, shown_map, read); };
    }, job->file.size());
}

bool DatastoreWindow::ask_rescue() { return ui::confirm(this, ui::rescue_question()); }

void DatastoreWindow::file_export_ended(std::shared_ptr<FileJob> job, const ExportResult& r, const QString& map_path,
                                        int64_t bytes_read) {
    // A disk that failed to read: asked once whether to copy again, zeros
    // where sectors cannot be read. No keeps the copy as it stopped.
    if (!job->rescue && r.failure == ExportFailure::read && r.read_failure.fault == Fault::device_read &&
        ask_rescue()) {
        struct stat existing {};
        const std::string map = job->host + ".map";
        if (::lstat(map.c_str(), &existing) == 0) {
            ui::message(this, QStringLiteral("not replacing ") + QFile::decodeName(map.c_str()) +
                                  QStringLiteral(": it exists; move it away first"));
        } else {
            job->rescue = true;
            export_file(job);
            return;
        }
    }
    // How much could not be read, and where its map is: in the box and, once
    // the box is gone, on the status line.
    QString unreadable;
    if (r.unreadable_bytes > 0) {
        unreadable = QStringLiteral("unreadable: %1 bytes in %2 ranges, filled with zeros")
                         .arg(r.unreadable_bytes)
                         .arg(r.unreadable_ranges);
        if (!map_path.isEmpty()) unreadable += QStringLiteral("\nmap: ") + map_path;
        status_line->setText(QString(unreadable).replace(QLatin1Char('\n'), QStringLiteral("; ")));
    }
    auto with_unreadable = [&unreadable](QString text) {
        return unreadable.isEmpty() ? text : text + QLatin1Char('\n') + unreadable;
    };
    if (r.failure == ExportFailure::cancelled) {
        ui::message(this, with_unreadable(QStringLiteral("export cancelled|written:") + QString::number(r.bytes_written)));
    } else if (r.failure != ExportFailure::none) {
        QString text = QStringLiteral("file save error|result:-1");
        // The file keeps what was written under the name chosen: say so.
        if (r.opened)
            text += QStringLiteral("\npartial file: ") + job->path + QStringLiteral("|written:") +
                    QString::number(r.bytes_written);
        // A copy that ended at a bound of a damaged descriptor says which.
        if (r.failure == ExportFailure::past_addressable)
            text += QStringLiteral("\nthe file's size reaches past what its block list can address");
        else if (r.failure == ExportFailure::past_volume)
            text += QStringLiteral("\nthe file holds more data than the logical volume can");
        else if (r.failure == ExportFailure::unreadable_sink)
            text += QStringLiteral("\nthe map of unreadable bytes could not be written");
        // The system's reason, where a disk or the host gave one.
        const int err = r.failure == ExportFailure::read ? r.read_failure.sys_errno : r.host_errno;
        if (err != 0) text += QLatin1Char('\n') + qs(errno_text(err));
        ui::message(this, with_unreadable(text));
    } else {
        gauge->setValue(100);
        // How fast the datastore was read, under the box.
        if (unreadable.isEmpty())
            status_line->setText(
                ui::status_exported(job->shown, r.bytes_written, double(work_clock_.elapsed()) / 1000.0, bytes_read));
        // The digest of what was written, for the operator's records, and
        // how much of it a thin file's holes were; a rebuilt disk says what
        // was placed and what is left as holes.
        QString text = QStringLiteral("success\nsha256:") + qs(r.sha256);
        if (!job->rebuilt && bytes_read < r.bytes_written)
            text += QStringLiteral("\nread: %1 bytes, the rest holes").arg(bytes_read);
        if (job->rebuilt)
            for (const std::string& line : rebuilt_disk_lines(*job->rebuilt, r.bytes_written))
                text += QLatin1Char('\n') + qs(line);
        ui::message(this, with_unreadable(text));
    }
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

void DatastoreWindow::open_image() {
    if (busy_) return;
    const QString path = ui::prompts().open_file(this, image_filter());
    if (path.isEmpty()) return;
    // A new member changes what a listing reads.
    stop_listing();
    const std::string device = QFile::encodeName(path).toStdString();
    const StartSearch found = store.find_start(device);
    int64_t start = found.sector;
    StartFrom from = found.from;
    if (from == StartFrom::none) {
        // Nothing says where the volume begins: the operator does, as in the
        // disk settings.
        const QString text = ui::prompts().input(this, QStringLiteral("input"), QStringLiteral("input partion begin sec"),
                                                 QStringLiteral("2048"));
        bool ok = false;
        start = text.toLongLong(&ok, 10);
        if (!ok) {
            ui::message(this, QStringLiteral("'") + text + QStringLiteral("' is not a valid integer value"));
            return;
        }
        from = StartFrom::given;
    }
    const AddDiskRefusal why = store.add_disk(device, start, from);
    if (why != AddDiskRefusal::none) {
        ui::message(this, QString::fromUtf8(add_disk_message(why)));
        return;
    }
    scan_rows->clear();
    scan_list->hide();
    browse();
    // Opened at "/": its listing shows the datastore's top at once.
    const QModelIndex root = tree_nodes->index(0, 0);
    if (!store.is_open() || !root.isValid()) return;
    tree->setCurrentIndex(root);
    list_selected_folder();
}

void DatastoreWindow::browse_action_triggered() { browse_button->click(); }
void DatastoreWindow::deleted_action_triggered() { deleted_button->click(); }
void DatastoreWindow::lost_disks_action_triggered() { lost_disks_button->click(); }

void DatastoreWindow::open_about() {
    AboutDialog frm;
    frm.exec();
}

} // namespace ds
