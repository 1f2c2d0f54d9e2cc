#include "resolve.h"
#include "vmfs/datastore.h"

#include "vmfs/inode.h"
#include "vmfs/listing.h"
#include "text/name_text.h"

#include <charconv>
#include <optional>
#include <vector>

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

struct Lookup {
    ds::ListStatus status = ds::ListStatus::complete;
    std::optional<Node> match;
};

// Finds comp among the entries of here as its listing reads them, holding
// only the best match so far, so that a directory claiming millions of
// entries is never held to find one: the stored bytes first; then the name
// as a listing printed it (escapes pasted back); then as the window shows
// it. Of equal matches the first listed wins.
Lookup find_child(ds::Datastore& store, const Node& here, const std::string& comp) {
    std::string unescaped;
    const bool printed = ds::printable_name_decode(comp, unescaped);
    auto rank = [&](const Node& k) {
        if (k.raw_name == comp) return 0;
        if (printed && k.raw_name == unescaped) return 1;
        return k.name == comp ? 2 : 3;
    };
    Lookup out;
    int best = 3;
    auto consider = [&](Node&& k) {
        const int r = rank(k);
        if (r < best) {
            best = r;
            out.match = std::move(k);
        }
        return best == 0;
    };
    if (here.formatted_root) {
        each_found_dir(store, [&](Node&& k) { return !consider(std::move(k)); });
        return out;
    }
    ds::DirLister lister(store, ds::Node{here.id, here.first_block});
    for (ds::ListedEntry e; lister.next(e);)
        if (consider(node_of(std::move(e)))) break;
    out.status = lister.status();
    return out;
}

} // namespace

std::string child_path(const std::string& parent, const std::string& name) {
    if (parent.empty()) return name;
    if (parent.back() == '/') return parent + name;
    return parent + "/" + name;
}

Resolution resolve(ds::Datastore& store, const std::string& text, bool formatted) {
    Resolution r;
    if (!text.empty() && text[0] == '#') {
        uint32_t id = 0;
        if (!parse_descriptor_id(text, id)) {
            r.kind = Resolution::Kind::bad_id;
            r.detail = "'" + ds::printable_path(text) + "' is not a descriptor id (#decimal or #0xhex)";
            return r;
        }
        ds::Descriptor inode;
        r.shown = text;
        r.node.id = id;
        r.node.name = text;
        r.node.raw_name = text;
        if (ds::inode_get(store, id, inode) != 0) {
            r.kind = Resolution::Kind::unreadable;
            r.detail = "descriptor " + text + " cannot be read";
            return r;
        }
        r.node.is_dir = inode.type == ds::kTypeDir;
        r.kind = Resolution::Kind::ok;
        return r;
    }

    // The nodes from the root down to the current one, with their paths.
    std::vector<std::pair<Node, std::string>> trail;
    trail.emplace_back(formatted ? formatted_root_node() : root_node(), formatted ? "" : "/");
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t slash = text.find('/', pos);
        if (slash == std::string::npos) slash = text.size();
        std::string comp = text.substr(pos, slash - pos);
        pos = slash + 1;
        if (comp.empty() || comp == ".") continue;
        if (comp == "..") {
            if (trail.size() > 1) trail.pop_back();
            continue;
        }
        const auto& [here, here_path] = trail.back();
        std::string shown_here = here_path.empty() ? "the found directories" : here_path;
        Lookup kids = find_child(store, here, comp);
        if (kids.status == ds::ListStatus::open_error) {
            r.kind = Resolution::Kind::unreadable;
            r.detail = "cannot read the descriptor of " + shown_here;
            return r;
        }
        if (kids.status == ds::ListStatus::not_directory) {
            r.kind = Resolution::Kind::not_found;
            r.detail = shown_here + " is not a directory";
            return r;
        }
        if (!kids.match) {
            r.kind = Resolution::Kind::not_found;
            r.detail = "no entry '" + ds::printable_name(comp) + "' in " + shown_here;
            return r;
        }
        const Node* match = &*kids.match;
        std::string p = child_path(here_path, printed_name(*match));
        trail.emplace_back(*match, std::move(p));
    }
    r.kind = Resolution::Kind::ok;
    r.node = trail.back().first;
    r.shown = trail.back().second;
    return r;
}

} // namespace dscli
