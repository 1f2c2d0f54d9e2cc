#pragma once
// The manifest of a folder export, written as the copy goes: its head, the
// items as they are settled, the totals (known only then) after them. Held
// in memory a piece at a time, so a copy of millions of files costs the
// same.

#include "export/folder_item.h"
#include "export/host_write.h"

#include <cstdint>
#include <memory>
#include <string>

namespace ds {

class JsonStream;

// What the manifest says before its items.
struct ManifestHead {
    std::string source;        // how the source was named
    uint32_t id = 0;           // its descriptor id, 0 for a set of found directories
    std::string destination;   // as the operator gave it
};

// What it says after them.
struct ManifestTotals {
    bool complete = false, cancelled = false;
    int64_t files = 0, directories = 0, bytes = 0, failures = 0, renamed = 0;
    std::string provenance;    // JSON object text; empty: none
    std::string sync_failed;   // why the copy could not be put on the disk; empty: it was
    // With rescue (written only then): what could not be read.
    bool rescue = false;
    int64_t unreadable_items = 0, unreadable_bytes = 0, skipped_entries = 0;
};

class FolderManifest {
public:
    FolderManifest();
    ~FolderManifest();
    // Never over anything that is there: a manifest the operator allowed to
    // be replaced is written under a name of its own and renamed over the
    // old one at the end, which is replaced as a name, never followed.
    bool open(const HostDir& parent, const std::string& manifest_name, bool replace, const ManifestHead& head);
    void item(const FolderItem& it);
    // Ends the document; false (and nothing left under either name) when
    // any of it could not be written.
    bool finish(const ManifestTotals& totals);

private:
    void write(const std::string& text);
    void flush();
    const HostDir* parent_ = nullptr;
    std::string final_, name_, buf_;
    bool replace_ = false, ok_ = false;
    HostFile file_;
    std::unique_ptr<JsonStream> json_;
};

} // namespace ds
