#pragma once
// What the command line asked for, and the argument parser that fills it.

#include <CLI/CLI.hpp>

#include <cstdint>
#include <string>
#include <vector>

namespace dscli {

struct Options {
    // global
    std::vector<std::string> disks;   // PATH[@SECTOR], in segment order
    bool json = false;
    bool quiet = false;
    // damaged media
    bool rescue = false;                    // unreadable sectors become zeros, named and counted
    int retries = 0;                        // further tries of a sector that failed
    std::vector<std::string> mapfiles;      // --mapfile MAP, in the order given ...
    std::vector<size_t> mapfile_disks;      // ... and the index in disks of the -d each follows
    // how the run was started, for the record an export keeps
    std::vector<std::string> command_line;
    int64_t started = 0;        // seconds since 1970, UTC
    // per command
    std::string path = "/";
    std::vector<std::string> stat_paths;   // stat: PATH... (more than one only with --domain)
    std::string domain;                    // stat --domain DISK: the member disk the domain map is of
    bool long_format = false;
    bool formatted = false;
    bool with_tree = false;
    bool deleted = false;     // timeline: add the deleted files
    bool dirs = false;        // deleted: list the deleted directories too
    bool lost = false;        // mount: the rebuilt lost disks at the root
    std::string src;
    std::string dest;
    bool recursive = false;   // export: SRC is a folder, DEST the host directory
    bool hash = false;        // export: print the SHA-256 of the bytes written
    bool to_device = false;   // export: DEST may be a block device
    bool replace_manifest = false;   // export -r: an existing manifest is replaced
    bool no_clobber = false;  // export: refuse a DEST that exists
    bool first_pointer_block = false;  // export vmdk:N: only what the row's own pointer block addresses
    std::vector<std::string> devices;
    int pick = -1;
    std::string mountpoint;
    bool foreground = false;  // mount: serve in the foreground
    std::string help_topic;   // help: the command whose help page to print
};

// Declares every option and command on app; the chosen command is the one
// subcommand of app that was parsed.
void setup_app(CLI::App& app, Options& opt);

// "datumsift help [CMD]": the page CMD --help prints (the program's own
// without CMD); an unknown CMD is a usage error naming the nearest command.
int print_help(const CLI::App& app, const std::string& topic);

// After parsing: ties each --mapfile to the -d given before it. False (with
// error) for a --mapfile before any -d, or two for one disk.
bool pair_mapfiles(const CLI::App& app, Options& opt, std::string& error);

} // namespace dscli
