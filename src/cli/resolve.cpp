#include "resolve.h"

#include "output.h"

#include "text/name_text.h"

#include <charconv>

namespace dscli {

bool parse_descriptor_id(const std::string& text, uint32_t& id) {
    if (text.size() < 2 || text[0] != '#') return false;
    const char* b = text.data() + 1;
    const char* e = text.data() + text.size();
    int base = 10;
    if (e - b > 2 && b[0] == '0' && (b[1] == 'x' || b[1] == 'X')) {
        b += 2;
        base = 16;
    }
    if (b == e || *b == '-' || *b == '+') return false;
    auto [p, ec] = std::from_chars(b, e, id, base);
    return ec == std::errc() && p == e;
}

namespace {

// How a typed component matches an entry: the stored bytes first; then the
// name as a listing printed it (escapes pasted back); then as the window
// shows it.
ds::EntryRank typed_name(const std::string& component) {
    std::string unescaped;
    const bool printed = ds::printable_name_decode(component, unescaped);
    return [component, unescaped = std::move(unescaped), printed](const ds::ListedEntry& e) {
        if (e.raw_name == component) return 0;
        if (printed && e.raw_name == unescaped) return 1;
        return e.name == component ? 2 : -1;
    };
}

Resolution by_id(const ds::Datastore& store, const std::string& text) {
    Resolution r;
    uint32_t id = 0;
    if (!parse_descriptor_id(text, id)) {
        r.kind = Resolution::Kind::bad_id;
        r.detail = "'" + ds::printable_path(text) + "' is not a descriptor id (#decimal or #0xhex)";
        return r;
    }
    r.shown = text;
    r.node.node = {id, -1};
    r.node.name = text;
    r.node.raw_name = text;
    ds::FileInfo info;
    if (!store.stat(r.node.node, info)) {
        r.kind = Resolution::Kind::unreadable;
        r.detail = "descriptor " + text + " cannot be read";
        return r;
    }
    r.node.is_dir = info.is_dir();
    r.kind = Resolution::Kind::ok;
    return r;
}

} // namespace

std::string child_path(const std::string& parent, const std::string& name) {
    if (parent.empty()) return name;
    if (parent.back() == '/') return parent + name;
    return parent + "/" + name;
}

Resolution resolve(const ds::Datastore& store, const std::string& text, bool formatted) {
    if (!text.empty() && text[0] == '#') return by_id(store, text);

    ds::PathLookup found =
        store.look_up(text, formatted ? ds::PathFrom::found_dirs : ds::PathFrom::root, typed_name);
    // The path as listings print it, as far as the lookup got.
    std::string shown = formatted ? "" : "/";
    for (const ds::ListedEntry& e : found.trail) shown = child_path(shown, ds::printable_name(e.raw_name));
    const std::string shown_here = shown.empty() ? "the found directories" : shown;

    Resolution r;
    switch (found.end) {
    case ds::PathEnd::unreadable:
        r.kind = Resolution::Kind::unreadable;
        r.detail = "cannot read the descriptor of " + shown_here;
        return r;
    case ds::PathEnd::not_directory:
        r.kind = Resolution::Kind::not_found;
        r.detail = shown_here + " is not a directory";
        return r;
    case ds::PathEnd::no_entry:
        r.kind = Resolution::Kind::not_found;
        r.detail = "no entry '" + ds::printable_name(found.component) + "' in " + shown_here;
        if (found.skipped_entries > 0)
            r.detail += " (" + std::to_string(found.skipped_entries) +
                        " entries on the way could not be read; it may be one of them)";
        return r;
    case ds::PathEnd::found: break;
    }
    // Found all the same, past entries that could not be read.
    if (found.skipped_entries > 0)
        skipped(std::to_string(found.skipped_entries) + " directory entries on the way to " + (shown.empty() ? text : shown));
    r.kind = Resolution::Kind::ok;
    if (found.trail.empty())
        r.node = formatted ? formatted_root_node() : root_node();
    else
        r.node = node_of(std::move(found.trail.back()), found.node);
    r.shown = std::move(shown);
    return r;
}

} // namespace dscli
