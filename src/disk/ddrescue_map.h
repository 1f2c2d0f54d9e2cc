#pragma once
// Mapfiles of GNU ddrescue, which come with the images it makes of failing
// disks: every byte they do not mark finished ('+') was never read from the
// disk, and what the image holds there is not the disk's.

#include "disk/byte_ranges.h"
#include "disk/sector_source.h"

#include <atomic>
#include <map>
#include <mutex>
#include <memory>
#include <string>
#include <vector>

namespace ds {

struct Mapfile {
    std::vector<ByteSpan> not_finished;   // in order, adjacent ones merged
    int64_t covered = 0;                  // the bytes its blocks describe, from 0 on
};

// Parses a mapfile's text: comment lines, the status line (position,
// status, optional pass), then blocks (position, size, status) that follow
// each other from 0 on. False, with error naming the line, for anything else.
bool parse_mapfile(const std::string& text, Mapfile& out, std::string& error);

// Reads and parses the mapfile at path; false with error when it cannot be
// read or is malformed.
bool read_mapfile(const std::string& path, Mapfile& out, std::string& error);

// Reads through another source, but a read that touches a masked range of
// its device fails as a bad sector's does (EIO), and such a device is never
// handed out as a raw descriptor (the kernel would read the masked bytes).
class MaskedSource final : public SectorSource {
public:
    explicit MaskedSource(std::unique_ptr<SectorSource> inner) : owned_(std::move(inner)), inner_(owned_.get()) {}
    // A source the caller keeps alive longer than this one.
    explicit MaskedSource(SectorSource& inner) : inner_(&inner) {}
    // Set before reads begin; ranges in order.
    void mask(const std::string& device, std::vector<ByteSpan> ranges) { masks_[device] = std::move(ranges); }

    bool read(const std::string& device, int64_t off, int64_t len, uint8_t* buf) override;
    int64_t size(const std::string& device) override { return inner_->size(device); }
    void close_all() override { inner_->close_all(); }
    int raw_fd(const std::string& device) override;

    // From now on notes every range a read asks for, masked or not, so that
    // what a piece of work needed of each disk can be told afterwards.
    void record_reads();
    // The ranges of device read since record_reads(), in order, merged.
    std::vector<ByteSpan> recorded(const std::string& device) const;

private:
    std::unique_ptr<SectorSource> owned_;
    SectorSource* inner_;
    std::map<std::string, std::vector<ByteSpan>> masks_;
    std::atomic<bool> recording_{false};
    mutable std::mutex record_mu_;
    // Per device: start -> end of the ranges read, kept merged.
    std::map<std::string, std::map<int64_t, int64_t>> recorded_;
};

} // namespace ds
