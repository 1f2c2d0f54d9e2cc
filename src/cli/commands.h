#pragma once
// One function per command; each returns the exit status.

#include "options.h"

namespace ds {
class Datastore;
}

namespace dscli {

int cmd_info(ds::Datastore& store, const Options& opt);
int cmd_ls(ds::Datastore& store, const Options& opt);
int cmd_tree(ds::Datastore& store, const Options& opt);
int cmd_stat(ds::Datastore& store, const Options& opt);
int cmd_timeline(ds::Datastore& store, const Options& opt);
int cmd_export(ds::Datastore& store, const Options& opt);
int cmd_deleted(ds::Datastore& store, const Options& opt);
int cmd_formatted(ds::Datastore& store, const Options& opt);
int cmd_vmdk(ds::Datastore& store, const Options& opt);
int cmd_detect(ds::Datastore& store, const Options& opt);
int cmd_disks(ds::Datastore& store, const Options& opt);
int cmd_mount(ds::Datastore& store, const Options& opt);

// Reports a path that did not resolve with the command's own text, the
// reason on the line after it.
int fail_resolution(const char* message, const std::string& detail, bool usage);

struct Resolution;
// "dir open error" for a resolved node that cannot be listed, the line after
// it saying why: a file, or the directory's descriptor that could not be read.
int fail_dir_open(const ds::Datastore& store, const Resolution& r);

// Opens the disks, runs the format recovery when --formatted asks for it and
// resolves opt.path; a path that does not resolve is reported with message.
int open_and_resolve(ds::Datastore& store, const Options& opt, const char* message, Resolution& r);

} // namespace dscli
