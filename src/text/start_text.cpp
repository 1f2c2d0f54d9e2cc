#include "text/start_text.h"

#include "text/messages.h"

namespace ds {
namespace {

std::string sector_list(const std::vector<int64_t>& tried) {
    std::string out;
    for (size_t i = 0; i < tried.size(); ++i) {
        if (i > 0) out += i + 1 == tried.size() ? " and " : ", ";
        out += std::to_string(tried[i]);
    }
    return out;
}

} // namespace

const char* start_from_word(StartFrom from) {
    switch (from) {
    case StartFrom::given: return "given";
    case StartFrom::mbr: return "MBR";
    case StartFrom::gpt: return "GPT";
    case StartFrom::probe: return "probe";
    case StartFrom::none: break;
    }
    return "none";
}

std::string start_line(int k, const VolumeMember& m) {
    return "start_sector " + std::to_string(k) + ">" + m.device + ":" + std::to_string(m.start_sector) + " (" +
           start_from_word(m.start_from) + ")";
}

std::string start_not_found_hint(const std::string& shown, const StartSearch& s) {
    std::string table = !s.has_table    ? "no partition table"
                        : s.listed >= 0 ? "the partition table names a VMFS partition at " + std::to_string(s.listed) +
                                              ", which holds no volume header"
                                        : "the partition table names no VMFS partition";
    return shown + ": no volume header at sector " + sector_list(s.tried) + " (" + table +
           "); give the start as -d " + shown + "@SECTOR, or look for it with: datumsift detect " + shown;
}

std::string degraded_warning(const MissingSegments& m) {
    if (!m.any()) return "";
    const std::string segs = m.first == m.last ? "segment " + std::to_string(m.first)
                                               : "segments " + std::to_string(m.first) + "-" + std::to_string(m.last);
    return "warning: the volume is degraded: " + std::to_string(m.members) + " member(s) not given hold " + segs +
           " (" + std::to_string(m.bytes) + " bytes of the volume); reads there will fail";
}

std::string failure_reason(const Failure& f) {
    if (f.fault == Fault::missing_member)
        return " (the bytes lie in segment " + std::to_string(f.segment) + ", on a member that was not given)";
    return reason_text(f.sys_errno);
}

} // namespace ds
