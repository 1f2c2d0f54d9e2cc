#include "commands.h"
#include "disks.h"
#include "error_codes.h"
#include "output.h"
#include "vmfs/datastore.h"

#include "text/detect_text.h"
#include "text/messages.h"
#include "text/next_steps.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <iostream>
#include <nlohmann/json.hpp>

namespace dscli {
namespace {

nlohmann::json candidate_json(const ds::Detection& d, int k) {
    const ds::VolumeMember& c = d.candidates[static_cast<size_t>(k)];
    return {{"line", ds::candidate_line(d, k)}, {"index", k},
            {"device", c.device},             {"start_sector", c.start_sector},
            {"first_segment", c.first_segment}, {"last_segment", c.last_segment}};
}

// A word the shell passes through unchanged: as it is when it holds only
// characters no shell treats specially, else in single quotes.
std::string shell_word(const std::string& w) {
    const bool plain = !w.empty() && std::all_of(w.begin(), w.end(), [](unsigned char c) {
        return std::isalnum(c) || std::strchr("@%+,-./:=_", c) != nullptr;
    });
    if (plain) return w;
    std::string q = "'";
    for (char c : w) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// The disks joined, as -d arguments: the line to paste in front of a command.
std::vector<std::string> disk_arguments(const ds::Datastore& store) {
    std::vector<std::string> args;
    const ds::LogicalVolume& lvm = store.volume();
    for (int k = 0; k < lvm.loaded_extents && k < ds::kMaxExtents; ++k) {
        args.push_back("-d");
        args.push_back(lvm.volumes[k].device + "@" + std::to_string(lvm.volumes[k].start_sector));
    }
    return args;
}

} // namespace

// Scans the given devices (or every fixed drive) as the disk settings'
// automatic detection does. Text output keeps the window's two captions:
// "VM found" above the first-segment candidates and "VM DISKS" above the
// disk table that was assembled from one of them.
int cmd_detect(ds::Datastore& store, const Options& opt) {
    std::vector<std::string> devices = opt.devices;
    if (devices.empty())
        for (const ds::DriveInfo& drive : ds::list_drives())
            if (!drive.removable) devices.push_back(drive.device);

    // Only what can be read without waiting on a writer is scanned; anything
    // else is a drive that cannot be read.
    std::vector<std::string> scanned;
    std::vector<std::string> unreadable;
    for (const std::string& dev : devices) (readable_as_disk(dev) ? scanned : unreadable).push_back(dev);
    ds::Detection d = store.detect(scanned);
    // The window's text, then the drive and what the system said.
    nlohmann::json unread = nlohmann::json::array();
    auto report = [&](const std::string& dev, const std::string& next) {
        remark(kCodeReadSector, ds::kDetectReadError);
        remark(kCodeReadSector, next);
        unread.push_back({{"device", dev}, {"error", ds::kDetectReadError}, {"code", kCodeReadSector}, {"detail", next}});
    };
    for (const std::string& dev : unreadable) report(dev, shown_path(dev) + ": " + disk_unreadable_reason(dev));
    for (size_t i = 0; i < d.read_failed.size(); ++i) {
        const ds::Failure why = i < d.read_failures.size() ? d.read_failures[i] : ds::Failure{};
        report(d.read_failed[i], ds::detect_read_next_step(shown_path(d.read_failed[i]), why));
    }
    if (d.dropped > 0)
        std::cerr << "more than " << ds::kMaxCandidates << " volume headers found; " << d.dropped << " not kept\n";

    std::vector<int> firsts = ds::first_segment_candidates(d);
    if (opt.pick >= 0 && std::find(firsts.begin(), firsts.end(), opt.pick) == firsts.end())
        return usage_error(kCodeUsage, "--pick " + std::to_string(opt.pick) + " is not one of the candidates listed");

    int chosen = opt.pick >= 0 ? opt.pick : (firsts.size() == 1 ? firsts[0] : -1);
    ds::AddDiskRefusal why = ds::AddDiskRefusal::none;
    if (chosen >= 0) why = store.assemble(d, chosen);

    if (opt.json) {
        nlohmann::json cands = nlohmann::json::array();
        for (int k : firsts) cands.push_back(candidate_json(d, k));
        nlohmann::json doc = {{"candidates", std::move(cands)}};
        if (!unread.empty()) doc["unreadable"] = std::move(unread);
        if (chosen >= 0 && why == ds::AddDiskRefusal::none) {
            doc["disks"] = ds::disk_table_lines(store.volume());
            doc["arguments"] = disk_arguments(store);
        }
        out_json(doc);
    } else {
        out_line("VM found");
        for (int k : firsts) out_line(ds::candidate_line(d, k));
        if (chosen >= 0) {
            out_line("VM DISKS");
            for (const std::string& line : ds::disk_table_lines(store.volume())) out_line(line);
            if (why == ds::AddDiskRefusal::none) {
                std::string line;
                for (const std::string& a : disk_arguments(store)) line += (line.empty() ? "" : " ") + shell_word(a);
                out_line(line);
            }
        }
    }

    if (firsts.empty()) return fail(kCodeNoFirstSegment, ds::kDetectNoFirst);
    if (chosen < 0) {
        fail(kCodeSeveralFirst, "several disks hold the first segment: choose one with --pick K");
        return kExitFailed;
    }
    if (why != ds::AddDiskRefusal::none) return fail(add_disk_code(why), ds::add_disk_message(why));
    return kExitOk;
}

} // namespace dscli
