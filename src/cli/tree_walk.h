#pragma once
// Depth-first walk below a node in on-disk order, as expanding every
// directory of the tree would show it.

#include "nodes.h"

#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace dscli {

// Calls emit for every node below top (not top itself) with its full path,
// through the core's bounded walk: a directory met a second time (a damaged
// datastore can link a directory into itself or into several places) is
// emitted but not walked again, so the walk always ends. Unreadable and
// cut-short directories are reported on stderr and the walk goes on. Returns
// an exit status: failed when Ctrl-C or a closed stdout stopped it.
int walk_tree(const ds::Datastore& store, const Node& top, const std::string& top_path,
              const std::function<void(const Node&, const std::string&)>& emit);

// Walks like walk_tree with the listing of directories on a thread of its
// own, for an emit that reads something of every node (a timeline reads
// each descriptor), whose reads then overlap the walk's. On the walking
// thread prepare appends what it can make of a node to text (a line's start,
// say); emit gets the node's path and that text on the calling thread, in
// the walk's order, as the reports on stderr come. Nothing is allocated per
// node.
using PrepareNode = std::function<void(const Node&, const std::string& path, std::string& text)>;
using EmitPrepared = std::function<void(const ds::Node&, std::string_view path, std::string_view text)>;
int walk_tree_threaded(const ds::Datastore& store, const Node& top, const std::string& top_path,
                       const PrepareNode& prepare, const EmitPrepared& emit);

// What a walk hands its nodes and notes to, and asks whether to go on.
struct WalkHooks {
    std::function<void(const Node&, const std::string&)> emit;
    std::function<void(ds::TreeNote, const std::string&)> report;
    std::function<bool()> go_on;
};
// The walk both of the above make; false when go_on stopped it.
bool walk_nodes(const ds::Datastore& store, const Node& top, const std::string& top_path, const WalkHooks& hooks);
// The walk's notes on stderr, and the status of a walk that was stopped.
void report_walk_note(ds::TreeNote what, const std::string& path);
int walk_stopped();

// One node of a walk in JSON: its printed path (directories end in "/"),
// kind, descriptor id and exact name.
nlohmann::json tree_node_json(const Node& n, const std::string& path);

// The texts for a directory of a listing or walk that could not be read.
std::string dir_open_error_text(const std::string& path);
std::string dir_incomplete_text(const std::string& path);
// With --rescue: entries of a directory passed over (0: not counted).
std::string dir_skipped_text(const std::string& path, int64_t entries = 0);

} // namespace dscli
