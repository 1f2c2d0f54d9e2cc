#include "tree_walk.h"

#include "interrupt.h"
#include "output.h"
#include "resolve.h"

#include <set>
#include <utility>
#include <vector>

namespace dscli {

std::string dir_open_error_text(const std::string& path) { return "dir open error|path:" + path; }
std::string dir_incomplete_text(const std::string& path) { return "dir read incomplete|path:" + path; }

namespace {

struct Frame {
    std::vector<Node> kids;
    std::string path;
    size_t next = 0;
};

// Lists node and reports what the window would leave unexpanded.
std::vector<Node> expand(const Node& node, const std::string& path) {
    Children c = list_children(node);
    if (c.status == ds::ListStatus::open_error) warn(dir_open_error_text(path));
    if (c.status == ds::ListStatus::ended_early) warn(dir_incomplete_text(path));
    return std::move(c.nodes);
}

} // namespace

int walk_tree(const Node& top, const std::string& top_path,
              const std::function<void(const Node&, const std::string&)>& emit) {
    std::set<std::pair<uint32_t, int64_t>> walked;
    walked.insert({top.id, top.first_block});
    std::vector<Frame> stack;
    stack.push_back({expand(top, top_path), top_path, 0});
    while (!stack.empty()) {
        if (interrupted()) return fail("tree cancelled");
        if (!out_ok()) return kExitFailed;
        Frame& f = stack.back();
        if (f.next >= f.kids.size()) {
            stack.pop_back();
            continue;
        }
        Node kid = f.kids[f.next++];
        std::string path = child_path(f.path, kid.name);
        emit(kid, path);
        if (!kid.is_dir || !walked.insert({kid.id, kid.first_block}).second) continue;
        std::vector<Node> grandkids = expand(kid, path);
        stack.push_back({std::move(grandkids), std::move(path), 0});   // f is not used past here
    }
    return kExitOk;
}

} // namespace dscli
