#pragma once
// The host names of one directory's entries. They are settled from the whole
// listing before the first entry is written, so that a repeated name is
// numbered (NAME~2, NAME~3, ...) and the ".partial" name of a copy in
// progress never takes the place of an entry's own name. Only 64-bit digests
// of the names are kept: a directory costs 8 bytes a name, and 16 when its
// names repeat.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ds {

class DirNames {
public:
    // First pass, in listing order: every entry's host name before numbering.
    void add(const std::string& base);
    // Ends the first pass. True when some name repeats: then the same listing
    // is handed to number() once more, in the same order.
    bool seal();
    void number(const std::string& base);
    // Gives up on settling the names (too many to hold): from now on every
    // entry keeps its own host name, and a repeat finds the first copy in its
    // way on the host (it is never replaced).
    void unsettle();

    // The host name of the next entry of the listing, whose own is base.
    std::string next(const std::string& base);
    // Where the copy of the entry whose host name is name is written until it
    // is whole: name.partial, numbered when an entry holds that name.
    std::string partial(const std::string& name) const;

    // What is held, in 8-byte words.
    size_t held() const { return keys_.size() + (state_.size() + numbers_.size()) / 2; }
    bool settled() const { return settled_; }

private:
    // The place of digest h in keys_, or -1.
    int64_t find(uint64_t h) const;
    bool taken(int64_t k) const { return state_[static_cast<size_t>(k)] & kTaken; }
    uint32_t counter(int64_t k) const { return state_[static_cast<size_t>(k)] & ~kTaken; }

    static constexpr uint32_t kTaken = 0x80000000u;
    std::vector<uint64_t> keys_;     // digests of every entry's name; sorted and unique once sealed
    // Only when a name repeats, one per key: whether the name is given out,
    // and the next number to try after it.
    std::vector<uint32_t> state_;
    // Only when a name repeats, one per entry in listing order: its number,
    // 0 for its own name.
    std::vector<uint32_t> numbers_;
    size_t added_ = 0, numbered_ = 0, given_ = 0;
    bool settled_ = true;
};

} // namespace ds
