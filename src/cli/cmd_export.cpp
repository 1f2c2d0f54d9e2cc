#include "commands.h"
#include "disks.h"
#include "export_folder.h"
#include "export_stdout.h"
#include "export_vmdk.h"
#include "interrupt.h"
#include "error_codes.h"
#include "output.h"
#include "progress.h"
#include "export_record.h"
#include "resolve.h"
#include "scans.h"

#include "export/file_export.h"
#include "export/folder_item.h"
#include "export/rescue_map.h"
#include "text/messages.h"
#include "text/start_text.h"

#include <cerrno>
#include <iostream>
#include <nlohmann/json.hpp>
#include <sys/stat.h>
#include <unistd.h>

namespace dscli {
namespace {

std::string failure_detail(const ds::ExportResult& res, const std::string& raw_dest) {
    const std::string dest = shown_path(raw_dest);
    switch (res.failure) {
    case ds::ExportFailure::create: {
        struct stat st {};
        if (::stat(raw_dest.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return dest + " is a directory";
        return "cannot create " + dest + ds::reason_text(res.host_errno);
    }
    case ds::ExportFailure::read: return "a read of the datastore failed" + ds::failure_reason(res.read_failure);
    case ds::ExportFailure::write: return "cannot write " + dest + ds::reason_text(res.host_errno);
    case ds::ExportFailure::negative_size: return "the descriptor gives a negative size";
    case ds::ExportFailure::destination_is_input: return "refusing to replace " + dest + ", a disk being read";
    case ds::ExportFailure::destination_is_device:
        return "refusing to write to the block device " + dest + " (--to-device allows it)";
    case ds::ExportFailure::past_addressable:
        return "the file's size reaches past what its block list can address; stopped at byte " +
               std::to_string(res.bytes_written);
    case ds::ExportFailure::exists: return "not replacing " + dest + ": it exists (--no-clobber)";
    case ds::ExportFailure::unreadable_sink:
        return "cannot write the map " + dest + ".map" + ds::reason_text(res.host_errno);
    case ds::ExportFailure::past_volume:
        return "the file holds more data than the logical volume can; stopped at byte " +
               std::to_string(res.bytes_written);
    default: return "";
    }
}

} // namespace

int cmd_export(ds::Datastore& store, const Options& opt) {
    const bool to_stdout = is_stdout_dest(opt.dest);
    if (to_stdout) {
        results_to_stderr();
        if (opt.recursive) return usage_error("a folder cannot be exported to stdout");
        std::string why;
        if (!stdout_usable(&why)) {
            fail(kCodeFileSave, "file save error|result:-1");
            return fail(why);
        }
    }
    // Checked before the disks are even opened, so that a refused export
    // costs nothing; the file itself is then created exclusively, so that
    // one appearing meanwhile is refused all the same.
    struct stat existing {};
    if (opt.no_clobber && !to_stdout && ::lstat(opt.dest.c_str(), &existing) == 0) {
        fail(kCodeFileSave, "file save error|result:-1");
        return fail("not replacing " + shown_path(opt.dest) + ": it exists (--no-clobber)");
    }
    // The map of unreadable bytes goes beside DEST and never over anything.
    const std::string map_path = opt.dest + ".map";
    if (opt.rescue && !opt.recursive && !to_stdout && ::lstat(map_path.c_str(), &existing) == 0) {
        fail(kCodeFileSave, "file save error|result:-1");
        return fail("not replacing " + shown_path(map_path) + ": it exists; move it away first");
    }
    int rc = open_datastore(store, opt.disks);
    if (rc != kExitOk) return rc;
    if (opt.formatted && (rc = prepare_formatted(store, opt)) != kExitOk) return rc;

    ds::File file;
    Resolution r;
    LostDiskSource lost;
    const bool lost_disk = is_lost_disk_source(opt.src, opt.formatted);
    if (lost_disk) {
        if ((rc = prepare_lost_disk(store, opt, lost)) != kExitOk) return rc;
        file = lost.file;
        r.shown = opt.src;
    } else {
        r = resolve(store, opt.src, opt.formatted);
        if (r.kind != Resolution::Kind::ok)
            return fail_resolution("file open error", r.detail, r.kind == Resolution::Kind::bad_id);

        if (opt.recursive) return export_folder(store, opt, r);

        // A found directory is written as its listing reads it.
        if (!store.open_file(r.node.node, file)) return fail(kCodeFileOpen, "file open error");
    }

    install_interrupt_handler();
    ProgressBar bar(opt.quiet, ProgressBar::Unit::bytes, file.size());
    ds::ExportOptions eo;
    eo.sha256 = opt.hash;
    eo.to_device = opt.to_device;
    eo.no_clobber = opt.no_clobber;
    eo.rescue = opt.rescue;
    ds::RescueMap map(map_path);
    int map_errno = 0;
    if (opt.rescue && to_stdout) {
        eo.unreadable = [](ds::ByteSpan span) {
            std::cerr << "unreadable range: offset " << span.offset << " length " << span.length << '\n';
            return true;
        };
    } else if (opt.rescue) {
        eo.unreadable = [&map, &map_errno](ds::ByteSpan span) {
            if (map.add(span)) return true;
            map_errno = map.error();
            return false;
        };
    }
    int64_t bytes_read = 0;
    eo.bytes_read = &bytes_read;
    const ds::ExportProgress progress = [&](int64_t done, int64_t) {
        bar.update(done, bytes_read);
        return !interrupted();
    };
    ds::ExportResult res = to_stdout ? ds::file_export_to_descriptor(store, file, STDOUT_FILENO, progress, eo)
                                     : ds::file_export(store, file, opt.dest, progress, eo);
    // The reader of a pipe took what it wanted and closed it (export ... - |
    // head): the run ends without a word, as cat's does.
    const bool reader_gone = to_stdout && res.failure == ds::ExportFailure::write && res.host_errno == EPIPE;
    bar.finish(!reader_gone);
    if (reader_gone) return end_quietly();
    if (to_stdout) stdout_copied();
    // The map describes exactly what DEST holds, a partial copy included.
    if (opt.rescue && !to_stdout && !map.finish(res.bytes_written) &&
        res.failure == ds::ExportFailure::none) {
        res.failure = ds::ExportFailure::unreadable_sink;
        map_errno = map.error();
    }
    if (res.failure == ds::ExportFailure::unreadable_sink) res.host_errno = map_errno;
    const bool filled = res.unreadable_bytes > 0;
    if (filled) {
        fail(kCodeUnreadable, "unreadable: " + std::to_string(res.unreadable_bytes) + " bytes in " +
             std::to_string(res.unreadable_ranges) + " ranges, filled with zeros");
        if (map.created()) fail("map: " + shown_path(map_path));
    }

    if (res.failure == ds::ExportFailure::cancelled) {
        fail(kCodeCancelled, "export cancelled|written:" + std::to_string(res.bytes_written));
        return fail((to_stdout ? std::string("stdout") : shown_path(opt.dest)) + " keeps the first " +
                    std::to_string(res.bytes_written) + " bytes");
    }
    if (res.failure != ds::ExportFailure::none) {
        rc = fail(kCodeFileSave, "file save error|result:-1");
        const std::string shown_dest = to_stdout ? std::string("stdout") : opt.dest;
        // The file keeps what was written under its final name: say so.
        if (res.opened) fail("partial file: " + shown_dest + "|written:" + std::to_string(res.bytes_written));
        std::string detail = failure_detail(res, shown_dest);
        if (!detail.empty()) fail(detail);
        return rc;
    }
    if (opt.hash && res.sha256.empty()) return fail("the digest could not be computed");
    if (opt.json) {
        nlohmann::json doc = {{"result", "success"}, {"source", r.shown}, {"bytes", res.bytes_written}};
        put_name(doc, opt.dest, "dest");
        if (lost_disk) {
            lost_disk_json(lost, res.bytes_written, doc);
        } else {
            doc["id"] = r.node.id();
        }
        if (opt.hash) doc["sha256"] = res.sha256;
        if (opt.rescue) {
            doc["unreadable_bytes"] = res.unreadable_bytes;
            doc["unreadable_ranges"] = res.unreadable_ranges;
            if (map.created()) put_name(doc, map_path, "map");
            // Said outright: the digest is not of the file in the datastore.
            if (opt.hash && filled) doc["sha256_of"] = ds::kDigestOfZeros;
        }
        doc["provenance"] = provenance_json(store, opt);
        out_json(doc);
    } else {
        out_line("success");
        if (lost_disk)
            for (const std::string& line : lost_disk_coverage(lost, res.bytes_written)) out_line(line);
        // The line sha256sum -c reads back.
        if (opt.hash) out_line(digest_line(res.sha256, opt.dest));
    }
    return filled ? kExitIncomplete : kExitOk;
}

} // namespace dscli
