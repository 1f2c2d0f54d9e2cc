#include "commands.h"
#include "disks.h"
#include "export_folder.h"
#include "interrupt.h"
#include "output.h"
#include "progress.h"
#include "resolve.h"
#include "scans.h"

#include "vmfs/file_export.h"
#include "vmfs/found_dir.h"
#include "vmfs/inode.h"

#include <nlohmann/json.hpp>
#include <sys/stat.h>

namespace dscli {
namespace {

std::string failure_detail(const ds::ExportResult& res, const std::string& raw_dest) {
    const std::string dest = shown_path(raw_dest);
    switch (res.failure) {
    case ds::ExportFailure::create: {
        struct stat st {};
        if (::stat(raw_dest.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return dest + " is a directory";
        return "cannot create " + dest;
    }
    case ds::ExportFailure::read:
        return "a read of the datastore failed after " + std::to_string(res.bytes_written) + " bytes; " + dest +
               " keeps them";
    case ds::ExportFailure::write: return "cannot write " + dest;
    case ds::ExportFailure::negative_size: return "the descriptor gives a negative size";
    case ds::ExportFailure::destination_is_input: return "refusing to replace " + dest + ", a disk being read";
    default: return "";
    }
}

} // namespace

int cmd_export(const Options& opt) {
    // Checked before the disks are even opened: a refused export costs nothing.
    struct stat existing {};
    if (opt.no_clobber && ::lstat(opt.dest.c_str(), &existing) == 0) {
        fail("file save error|result:-1");
        return fail("not replacing " + opt.dest + ": it exists (--no-clobber)");
    }
    int rc = open_datastore(opt.disks);
    if (rc != kExitOk) return rc;
    if (opt.formatted && (rc = prepare_formatted(opt)) != kExitOk) return rc;
    Resolution r = resolve(opt.src, opt.formatted);
    if (r.kind != Resolution::Kind::ok)
        return fail_resolution("file open error", r.detail, r.kind == Resolution::Kind::bad_id);

    if (opt.recursive) return export_folder(opt, r);

    ds::tvmfs_inode inode;
    // A found directory is written as its listing reads it.
    if (ds::inode_get_substituted(r.node.id, r.node.first_block, inode) != 0) return fail("file open error");

    install_interrupt_handler();
    ProgressBar bar(opt.quiet, ProgressBar::Unit::bytes, inode.size);
    ds::ExportOptions eo;
    eo.sha256 = opt.hash;
    ds::ExportResult res = ds::file_export(
        inode, opt.dest,
        [&](int64_t done, int64_t) {
            bar.update(done);
            return !interrupted();
        },
        eo);
    bar.finish();

    if (res.failure == ds::ExportFailure::cancelled) {
        fail("export cancelled|written:" + std::to_string(res.bytes_written));
        return fail(shown_path(opt.dest) + " keeps the first " + std::to_string(res.bytes_written) + " bytes");
    }
    if (res.result < 0) {
        rc = fail("file save error|result:" + std::to_string(res.result));
        std::string detail = failure_detail(res, opt.dest);
        if (!detail.empty()) fail(detail);
        return rc;
    }
    if (opt.hash && res.sha256.empty()) return fail("the digest could not be computed");
    if (opt.json) {
        nlohmann::json doc = {{"result", "success"}, {"source", r.shown}, {"id", r.node.id},
                              {"bytes", res.bytes_written}};
        put_name(doc, opt.dest, "dest");
        if (opt.hash) doc["sha256"] = res.sha256;
        out_json(doc);
    } else {
        out_line("success");
        // The line sha256sum -c reads back.
        if (opt.hash) out_line(digest_line(res.sha256, opt.dest));
    }
    return kExitOk;
}

} // namespace dscli
