#include "export/folder_manifest.h"

#include "export/json_stream.h"
#include "text/name_text.h"
#include "text/time_text.h"

namespace ds {
namespace {

constexpr size_t kFlushAt = 1 << 16;

using Ordered = nlohmann::ordered_json;

// Keys in the order readers of older manifests saw them.
std::string line(const Ordered& value) { return value.dump(-1, ' ', false, Ordered::error_handler_t::replace); }

// A host path or name that is not UTF-8 (the destination itself may be one)
// is written in its printed form, so that the manifest stays JSON; the exact
// bytes go beside it in hex.
std::string text(const std::string& s) { return utf8_or_printable(s); }

Ordered item_json(const FolderItem& it) {
    Ordered j;
    j["path"] = text(it.path);
    j["host_path"] = text(it.host_path);
    if (it.path != ".") j["name"] = is_utf8(it.name) ? it.name : printable_name(it.name);
    if (!is_utf8(it.name)) j["name_bytes"] = hex_bytes(it.name);
    j["type"] = it.is_dir ? "dir" : "file";
    j["id"] = it.descriptor_id;
    j["size"] = it.size;
    if (!it.is_dir) {
        j["bytes_written"] = it.bytes_written;
        j["sha256"] = it.sha256;
    }
    if (it.size >= 0) {
        j["created"] = iso_utc_time(it.create_time);
        j["modified"] = iso_utc_time(it.update_time);
        j["accessed"] = iso_utc_time(it.atime);
    }
    j["status"] = folder_status_text(it.status);
    if (!it.detail.empty()) j["detail"] = text(it.detail);
    if (it.rescue) put_unreadable(j, it);
    return j;
}

} // namespace

FolderManifest::FolderManifest() = default;
FolderManifest::~FolderManifest() = default;

bool FolderManifest::open(const HostDir& parent, const std::string& manifest_name, bool replace, const ManifestHead& head) {
    parent_ = &parent;
    final_ = manifest_name;
    replace_ = replace;
    name_ = replace ? "." + manifest_name + ".new" : manifest_name;
    file_ = HostFile::create(parent, name_);
    ok_ = file_.ok();
    json_ = std::make_unique<JsonStream>([this](const std::string& s) { write(s); });
    json_->field("schema", 1);
    json_->field("source", text(head.source));
    json_->field("id", head.id);
    json_->field("destination", text(head.destination));
    if (!is_utf8(head.destination)) json_->field("destination_bytes", hex_bytes(head.destination));
    json_->begin_list("items");
    return ok_;
}

void FolderManifest::item(const FolderItem& it) {
    if (!ok_) return;
    json_->begin_item();
    json_->item_text(line(item_json(it)));
    json_->end_item();
}

bool FolderManifest::finish(const ManifestTotals& t) {
    if (!ok_) return false;
    json_->end_list();
    json_->field("complete", t.complete);
    json_->field("cancelled", t.cancelled);
    json_->field("files", t.files);
    json_->field("directories", t.directories);
    json_->field("bytes", t.bytes);
    json_->field("failures", t.failures);
    json_->field("renamed", t.renamed);
    if (t.rescue) {
        json_->field("unreadable_items", t.unreadable_items);
        json_->field("unreadable_bytes", t.unreadable_bytes);
        json_->field("skipped_entries", t.skipped_entries);
    }
    if (!t.sync_failed.empty()) json_->field("sync_failed", t.sync_failed);
    if (!t.provenance.empty()) json_->field_text("provenance", t.provenance);
    json_->finish();
    flush();
    // On the disk, like the files it vouches for.
    ok_ = ok_ && file_.close();
    if (!ok_) {
        file_.close(false);
        parent_->remove(name_);
        return false;
    }
    return !replace_ || parent_->rename(name_, final_, true);
}

void FolderManifest::write(const std::string& s) {
    buf_ += s;
    if (buf_.size() >= kFlushAt) flush();
}

void FolderManifest::flush() {
    if (ok_ && !buf_.empty())
        ok_ = file_.write(reinterpret_cast<const uint8_t*>(buf_.data()), static_cast<int64_t>(buf_.size()));
    buf_.clear();
}

} // namespace ds
