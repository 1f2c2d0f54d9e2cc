#include "options.h"

#include "output.h"
#include "suggest.h"

#include "export/provenance.h"

namespace dscli {
namespace {

constexpr const char* kDescription =
    "Read-only recovery for VMFS-3 datastores. Give the datastore's disks or images with -d\n"
    "in segment order; every command that reads the file system opens it first.\n"
    "Nothing is ever written to the disks or images given.";

constexpr const char* kFooter =
    "Exit status: 0 success, 1 the operation failed (the reason on stderr), 2 usage error,\n"
    "3 finished with unreadable bytes filled with zeros, or with unreadable directory entries or\n"
    "descriptors passed over (--rescue; where on stderr, in the map or in the manifest),\n"
    "130 stopped by Ctrl-C.\n"
    "Progress goes to stderr, only when it is a terminal and -q is not given.\n"
    "Ctrl-C stops an export or a scan cleanly; what was written stays.\n"
    "\n"
    "Examples:\n"
    "  datumsift -d disk0.img info\n"
    "  datumsift -d /dev/sdb@2048 -d /dev/sdc@2048 tree /\n"
    "  datumsift -d disk0.img stat /vm1/vm1-flat.vmdk\n"
    "  datumsift -d /dev/sdb stat --domain /dev/sdb /vm1/vm1.vmx /vm1/vm1-flat.vmdk > vm1.domain\n"
    "  ddrescue -m vm1.domain /dev/sdb sdb.img sdb.map\n"
    "  datumsift -d disk0.img export /vm1/vm1-flat.vmdk vm1-flat.vmdk\n"
    "  datumsift -d disk0.img timeline --deleted > body.txt; mactime -b body.txt -d -z UTC\n"
    "  datumsift -d disk0.img --json deleted\n"
    "  datumsift -d disk0.img export '#0x400004' recovered.bin\n"
    "  datumsift -d disk0.img export -r /vm1 vm1-copy\n"
    "  datumsift -d disk0.img ls --formatted DIR1\n"
    "  datumsift detect disk0.img disk1.img\n"
    "  datumsift help export\n"
    "  datumsift -d disk0.img mount /mnt/ds; cp /mnt/ds/vm1/vm1.vmx .; fusermount3 -u /mnt/ds";

// Every command's own help page: the options given before (or after) it.
constexpr const char* kGlobalOptions =
    "Global options (before or after the command):\n"
    "  -d,--disk PATH[@SECTOR]     a disk or image of the datastore with the start sector of its VMFS\n"
    "                              partition (2048 when omitted); repeat in segment order\n"
    "  --json                      print the results as JSON\n"
    "  -q,--quiet                  no progress display\n"
    "  --rescue                    go on past unreadable sectors: zeros in their place, named and counted\n"
    "  --retries N                 try a sector whose read failed N more times (default 0)\n"
    "  --mapfile MAP               a GNU ddrescue mapfile of the -d before it: bytes not '+' are unreadable";

} // namespace

void setup_app(CLI::App& app, Options& opt) {
    app.description(kDescription);
    app.set_version_flag("--version", std::string("datumsift ") + ds::program_version(), "Print the version and exit");
    app.require_subcommand(1);
    app.fallthrough();
    app.add_option("-d,--disk", opt.disks,
                   "Disk, raw image or E01/Ex01 evidence image (its first segment) of the datastore, with the "
                   "start sector of its VMFS partition (PATH[@SECTOR], sector 2048 when omitted). Repeat in "
                   "segment order.")
        ->type_name("PATH[@SECTOR]")
        ->allow_extra_args(false);
    app.add_flag("--json", opt.json, "Print the results as JSON");
    app.add_flag("-q,--quiet", opt.quiet, "No progress display");
    app.add_flag("--rescue", opt.rescue,
                 "Go on past sectors that cannot be read: zeros in their place, and exactly where said (export: "
                 "the map DEST.map beside DEST, or the ranges on stderr for -; export -r: the ranges of each item "
                 "in the manifest; ls, tree, timeline, stat: unreadable directory entries passed over and named; "
                 "exit status 3)");
    app.add_option("--retries", opt.retries, "Try a sector whose read failed N more times (default 0: once)")
        ->type_name("N")
        ->check(CLI::Range(0, 1000));
    app.add_option("--mapfile", opt.mapfiles,
                   "GNU ddrescue mapfile of the image given with the -d before it: every byte it does not mark "
                   "'+' counts as unreadable. Checked against the image before anything is read")
        ->type_name("MAP")
        ->allow_extra_args(false);

    CLI::App* info = app.add_subcommand("info", "Print the logical-volume and file-system parameters");
    (void)info;

    CLI::App* ls = app.add_subcommand(
        "ls", "List a directory: kind (dir/file), TAB, descriptor id, TAB, name; in on-disk order");
    ls->add_option("PATH", opt.path, "Directory (or file) to list: /a/b, or #ID (decimal or 0x-hex); default /");
    ls->add_flag("-l,--long", opt.long_format, "Add the size in bytes and the last update time (UTC)");
    ls->add_flag("--formatted", opt.formatted,
                 "Run the format recovery first; PATH then starts at a found directory, e.g. DIR2/sub");

    CLI::App* tree = app.add_subcommand(
        "tree", "List a directory recursively, one full path per line, directories ending in /");
    tree->add_option("PATH", opt.path, "Directory to walk (default /)");
    tree->add_flag("--formatted", opt.formatted, "Walk the directories found by the format recovery");

    CLI::App* stat = app.add_subcommand(
        "stat", "Show a descriptor: id, type, size, block_size, block_count, addr_mode, the times (UTC), then "
                "its extents: file offset, length, first block id, logical-volume offset (or hole, inline)");
    stat->add_option("PATH", opt.stat_paths,
                     "File or directory: /a/b, or #ID (decimal or 0x-hex), deleted files included; "
                     "several with --domain")
        ->required();
    stat->add_flag("--formatted", opt.formatted, "PATH starts at a found directory, e.g. DIR2/sub");
    stat->add_option("--domain", opt.domain,
                     "Print instead a GNU ddrescue domain mapfile of the member disk DISK (as given with -d): "
                     "'+' for every range that reading the PATHs again needs (the volume header, the system "
                     "files' metadata, the directories on the way, the files' descriptors, pointer blocks "
                     "and data), for ddrescue -m DOMAIN to rescue those first");

    CLI::App* timeline = app.add_subcommand(
        "timeline", "Write a body file (format 3) of every file and directory below PATH for timeline tools: "
                    "MD5|name|inode|mode|UID|GID|size|atime|mtime|ctime|crtime, times in seconds since 1970 UTC "
                    "(no change time is kept: ctime 0)");
    timeline->add_option("PATH", opt.path, "Directory to walk (default /)");
    timeline->add_flag("--deleted", opt.deleted,
                       "Add the deleted files the recovery finds, by the path a directory entry still gives them, "
                       "else named $deleted/<id> (deleted)");
    timeline->add_flag("--formatted", opt.formatted, "Add the contents of the directories found by the format "
                                                     "recovery, under DIR<n>/");

    CLI::App* exp = app.add_subcommand("export", "Copy a file of the datastore byte for byte to a host file");
    exp->add_option("SRC", opt.src, "Path in the datastore, or #ID: a descriptor id (decimal or 0x-hex), "
                                    "deleted files included, or vmdk:N: the virtual disk of row N of the vmdk "
                                    "command, rebuilt whole from free pointer blocks (holes where unknown)")
        ->required();
    exp->add_option("DEST", opt.dest, "Host file to create or replace")->required();
    exp->add_flag("--formatted", opt.formatted, "SRC starts at a found directory, e.g. DIR2/vm/disk.vmdk");
    exp->add_flag("-r,--recursive", opt.recursive,
                  "SRC is a folder: copy it with everything below it into the host directory DEST (created, "
                  "or empty), with a SHA-256 per file and the manifest DEST.manifest.json beside it; with "
                  "--formatted and an empty SRC every found directory goes into DEST/DIR<n>");
    exp->add_flag("--first-pointer-block", opt.first_pointer_block,
                  "vmdk:N: write only what the row's own pointer block addresses");
    exp->add_flag("--hash", opt.hash, "Print the SHA-256 of the bytes written (always on with -r)");
    exp->add_flag("--to-device", opt.to_device,
                  "DEST may be a block device, which is then overwritten from its start; refused without this, "
                  "and always refused when the device shares bytes with a disk being read");
    exp->add_flag("--replace-manifest", opt.replace_manifest,
                  "With -r: replace a manifest left beside DEST by an earlier export, instead of refusing");
    exp->add_flag("-n,--no-clobber", opt.no_clobber,
                  "Refuse a DEST that exists (exit 1), before anything is read; without it a file DEST is replaced");

    CLI::App* deleted = app.add_subcommand(
        "deleted", "Deleted-file recovery: sn, ID, type, size, create at, last update at, atime per row, then finish");
    deleted->add_flag("-l,--long", opt.long_format,
                      "Put the descriptor id (for export '#ID') in the ID column, add the exact size in bytes "
                      "as an eighth column and the path that a directory entry still gives it as a ninth "
                      "(empty when none does)");
    deleted->add_flag("--dirs", opt.dirs, "List the deleted directories too (type DIR), numbered with the files");
    deleted->add_flag("--formatted", opt.formatted,
                      "Run the format recovery first, so that the directories it finds name deleted files too");
    CLI::App* formatted = app.add_subcommand(
        "formatted", "Format recovery: DIR<n>, TAB, descriptor id, TAB, first block per found directory, then finish");
    formatted->add_flag("--tree", opt.with_tree, "Follow each found directory with its recursive listing");
    app.add_subcommand("vmdk", "Virtual-disk file recovery: sn, ID, type, size, then the rebuilt disk's "
                               "length and how its pointer blocks were placed, per row, then finish; "
                               "export vmdk:N DEST writes row N's rebuilt disk");

    CLI::App* detect = app.add_subcommand(
        "detect", "Find the datastore's disks by their volume header and join them in segment order");
    detect->add_option("DEV", opt.devices, "Devices or images to scan (default: every fixed drive)");
    detect->add_option("--pick", opt.pick,
                       "When several disks hold the first segment, join the volume from candidate K")
        ->type_name("K");

    app.add_subcommand("disks", "List the physical drives with their sizes");

    CLI::App* mount = app.add_subcommand(
        "mount", "Mount the datastore read-only at MOUNTPOINT, so that any program can read its files in place; "
                 "returns once the mount is ready. fusermount3 -u MOUNTPOINT ends it");
    mount->add_option("MOUNTPOINT", opt.mountpoint, "An existing directory")->required();
    mount->add_flag("--formatted", opt.formatted,
                    "Run the format recovery first; the root then holds the found directories DIR1, DIR2...");
    mount->add_flag("--deleted", opt.deleted,
                    "Run the deleted-file recovery first; the root then holds one file per row, named "
                    "<sn>-<descriptor id>");
    mount->add_flag("--lost", opt.lost,
                    "Run the virtual-disk recovery and rebuild first; the root then holds one read-only file per "
                    "rebuilt disk, named vmdk<N>.img (N as in the vmdk rows and export vmdk:N), its holes read as zeros");
    mount->add_flag("-f,--foreground", opt.foreground,
                    "Stay in the foreground until unmounted, Ctrl-C or SIGTERM");
    CLI::App* help = app.add_subcommand("help", "Print the help of a command (datumsift help CMD), or this page");
    help->add_option("CMD", opt.help_topic, "The command");
    for (CLI::App* sub : app.get_subcommands([](CLI::App*) { return true; })) sub->footer(kGlobalOptions);
    // Set last, so that the commands' own help pages do not repeat it.
    app.footer(kFooter);
}

int print_help(const CLI::App& app, const std::string& topic) {
    std::vector<std::string> names;
    for (const CLI::App* sub : app.get_subcommands([](const CLI::App*) { return true; }))
        if (sub->get_name() == topic) {
            out_text(sub->help(app.get_name()));
            return kExitOk;
        } else {
            names.push_back(sub->get_name());
        }
    if (topic.empty()) {
        // The program's own page, as --help prints it, without the help
        // command's selection leading into its page.
        out_text(app.get_formatter()->make_help(&app, app.get_name(), CLI::AppFormatMode::Normal));
        return kExitOk;
    }
    const std::string near = nearest_command(topic, names);
    return usage_error("unknown command '" + topic + "'" +
                       (near.empty() ? "; see datumsift --help" : "; did you mean '" + near + "'?"));
}

bool pair_mapfiles(const CLI::App& app, Options& opt, std::string& error) {
    opt.mapfile_disks.clear();
    const CLI::Option* disk = app.get_option("--disk");
    const CLI::Option* map = app.get_option("--mapfile");
    size_t disks_seen = 0;
    for (const CLI::Option* o : app.parse_order()) {
        if (o == disk) ++disks_seen;
        if (o != map) continue;
        if (disks_seen == 0) {
            error = "--mapfile must follow the -d it belongs to";
            return false;
        }
        if (!opt.mapfile_disks.empty() && opt.mapfile_disks.back() == disks_seen - 1) {
            error = "two --mapfile for the disk " + opt.disks[disks_seen - 1];
            return false;
        }
        opt.mapfile_disks.push_back(disks_seen - 1);
    }
    if (opt.mapfile_disks.size() != opt.mapfiles.size()) {
        error = "--mapfile must follow the -d it belongs to";
        return false;
    }
    return true;
}

} // namespace dscli
