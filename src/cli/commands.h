#pragma once
// One function per command; each returns the exit status.

#include "options.h"

namespace dscli {

int cmd_info(const Options& opt);
int cmd_ls(const Options& opt);
int cmd_tree(const Options& opt);
int cmd_stat(const Options& opt);
int cmd_timeline(const Options& opt);
int cmd_export(const Options& opt);
int cmd_deleted(const Options& opt);
int cmd_formatted(const Options& opt);
int cmd_vmdk(const Options& opt);
int cmd_detect(const Options& opt);
int cmd_disks(const Options& opt);
int cmd_mount(const Options& opt);

// Reports a path that did not resolve with the command's own text, the
// reason on the line after it.
int fail_resolution(const char* message, const std::string& detail, bool usage);

} // namespace dscli
