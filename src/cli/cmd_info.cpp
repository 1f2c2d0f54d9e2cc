#include "commands.h"
#include "disks.h"
#include "output.h"
#include "vmfs/datastore.h"

namespace dscli {

// The pane is printed whenever the opening filled it, even if a later step
// of the opening stopped with a message: the window shows both as well.
int cmd_info(ds::Datastore& store, const Options& opt) {
    int rc = add_disks(store, opt.disks);
    if (rc != kExitOk) return rc;
    std::vector<std::string> pane;
    rc = open_file_system(store, &pane);
    if (opt.json) {
        if (!pane.empty()) out_json({{"lines", pane}});
    } else {
        for (const std::string& line : pane) out_line(line);
    }
    return rc;
}

} // namespace dscli
