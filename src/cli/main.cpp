// datumsift: the shell front end. Parses the arguments, runs one command and
// turns every outcome into an exit status: 0 success, 1 failure, 2 usage,
// 3 done with unreadable bytes filled with zeros (--rescue).

#include "commands.h"
#include "disk_maps.h"
#include "interrupt.h"
#include "options.h"
#include "error_codes.h"
#include "output.h"
#include "suggest.h"
#include "vmfs/datastore.h"

#include <algorithm>
#include <csignal>
#include <ctime>
#include <exception>
#include <iostream>
#include <map>
#include <new>

namespace {

int run(int argc, char** argv) {
    dscli::Options opt;
    opt.command_line.assign(argv, argv + argc);
    opt.started = static_cast<int64_t>(std::time(nullptr));
    CLI::App app{"", "datumsift"};
    dscli::setup_app(app, opt);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() != 0) {
            // A mistyped command gets the nearest one rather than the
            // parser's "a subcommand is required".
            std::vector<std::string> names;
            for (const CLI::App* sub : app.get_subcommands([](CLI::App*) { return true; }))
                names.push_back(sub->get_name());
            std::string word = dscli::command_word(argc, argv);
            if (!word.empty() && std::find(names.begin(), names.end(), word) == names.end()) {
                std::string near = dscli::nearest_command(word, names);
                return dscli::usage_error("unknown command '" + word + "'" +
                                          (near.empty() ? "; see datumsift --help" : "; did you mean '" + near + "'?"));
            }
        }
        int rc = app.exit(e);
        if (rc != 0) dscli::note_message(e.what());
        return rc == 0 ? dscli::kExitOk : dscli::kExitUsage;
    }

    std::string pairing;
    if (!dscli::pair_mapfiles(app, opt, pairing)) return dscli::usage_error(pairing);

    if (app.got_subcommand("help")) return dscli::print_help(app, opt.help_topic);

    using Command = int (*)(ds::Datastore&, const dscli::Options&);
    static const std::map<std::string, Command> commands = {
        {"info", dscli::cmd_info},         {"ls", dscli::cmd_ls},       {"tree", dscli::cmd_tree},       {"stat", dscli::cmd_stat},
        {"timeline", dscli::cmd_timeline},
        {"export", dscli::cmd_export},     {"deleted", dscli::cmd_deleted}, {"formatted", dscli::cmd_formatted},
        {"vmdk", dscli::cmd_vmdk},         {"detect", dscli::cmd_detect}, {"disks", dscli::cmd_disks},
        {"mount", dscli::cmd_mount},
    };
    for (CLI::App* sub : app.get_subcommands()) {
        auto it = commands.find(sub->get_name());
        if (it == commands.end()) continue;
        // Dropped when the command ends: every disk and image is closed then.
        ds::Datastore store;
        if (int bad = dscli::use_mapfiles(store, opt); bad != dscli::kExitOk) return bad;
        store.set_read_retries(opt.retries);
        store.set_scan_rescue(opt.rescue);
        // The mount has no line to name what a listing passed over.
        store.set_list_rescue(opt.rescue && it->first != "mount");
        dscli::set_rescue_run(opt.rescue);
        int rc = dscli::final_status(it->second(store, opt));
        return dscli::interrupted() ? dscli::kExitInterrupted : rc;
    }
    return dscli::usage_error("no command given; see datumsift --help");
}

} // namespace

int main(int argc, char** argv) {
    // A closed pipe on stdout (datumsift tree | head) ends long listings
    // through the stream's error state instead of a signal.
    std::signal(SIGPIPE, SIG_IGN);
    // Looked for by hand: a run that does not parse still answers in JSON.
    bool json = false;
    for (int i = 1; i < argc && std::string(argv[i]) != "--"; ++i) json = json || std::string(argv[i]) == "--json";
    int rc = dscli::kExitFailed;
    try {
        rc = run(argc, argv);
    } catch (const std::bad_alloc&) {
        dscli::fail(dscli::kCodeInternal, "out of memory");
    } catch (const std::exception& e) {
        dscli::fail(dscli::kCodeInternal, std::string("internal error: ") + e.what());
    } catch (...) {
        dscli::fail(dscli::kCodeInternal, "internal error");
    }
    rc = dscli::end_run(rc, json);
    std::cout.flush();
    return rc;
}
