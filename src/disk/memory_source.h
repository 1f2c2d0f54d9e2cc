#pragma once
// A SectorSource over byte vectors held in memory, with injectable failures:
// the fuzzers and the tests read synthetic disks through it. The disks and
// the failure range are set before reads begin.

#include "disk/byte_ranges.h"
#include "disk/sector_source.h"

#include <atomic>
#include <map>
#include <vector>

namespace ds {

class MemorySource final : public SectorSource {
public:
    std::map<std::string, std::vector<uint8_t>> disks;
    int64_t fail_from = -1;     // reads that touch [fail_from, fail_to) fail
    int64_t fail_to = -1;
    int fail_errno = 0;         // the errno such a read sets, when not 0
    // Reads that touch any of these bytes of any disk fail too, as a bad
    // sector does: with EIO unless fail_errno says otherwise.
    std::vector<ByteSpan> bad;
    // Counted from every reading thread.
    std::atomic<int64_t> reads{0};          // device reads answered or refused
    std::atomic<int64_t> bytes_read{0};

    bool read(const std::string& device, int64_t off, int64_t len, uint8_t* buf) override;
    int64_t size(const std::string& device) override;
};

} // namespace ds
