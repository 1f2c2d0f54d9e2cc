#pragma once
// Depth-first walk below a node in on-disk order, as expanding every
// directory of the tree would show it.

#include "nodes.h"

#include <functional>
#include <nlohmann/json.hpp>
#include <string>

namespace dscli {

// Calls emit for every node below top (not top itself) with its full path,
// through the core's bounded walk: a directory met a second time (a damaged
// datastore can link a directory into itself or into several places) is
// emitted but not walked again, so the walk always ends. Unreadable and
// cut-short directories are reported on stderr and the walk goes on. Returns
// an exit status: failed when Ctrl-C or a closed stdout stopped it.
int walk_tree(const ds::Datastore& store, const Node& top, const std::string& top_path,
              const std::function<void(const Node&, const std::string&)>& emit);

// One node of a walk in JSON: its printed path (directories end in "/"),
// kind, descriptor id and exact name.
nlohmann::json tree_node_json(const Node& n, const std::string& path);

// The texts for a directory of a listing or walk that could not be read.
std::string dir_open_error_text(const std::string& path);
std::string dir_incomplete_text(const std::string& path);
// With --rescue: entries of a directory passed over (0: not counted).
std::string dir_skipped_text(const std::string& path, int64_t entries = 0);

} // namespace dscli
