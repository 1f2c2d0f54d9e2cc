#include "export/dir_names.h"

#include <algorithm>
#include <functional>

namespace ds {
namespace {

uint64_t digest(const std::string& s) { return std::hash<std::string>{}(s); }

std::string numbered(const std::string& base, uint32_t k) { return base + "~" + std::to_string(k); }

} // namespace

void DirNames::add(const std::string& base) {
    if (!settled_) return;
    keys_.push_back(digest(base));
    ++added_;
}

bool DirNames::seal() {
    if (!settled_) return false;
    std::sort(keys_.begin(), keys_.end());
    const auto end = std::unique(keys_.begin(), keys_.end());
    const bool repeats = end != keys_.end();
    keys_.erase(end, keys_.end());
    keys_.shrink_to_fit();
    if (!repeats) return false;
    state_.assign(keys_.size(), 0);
    numbers_.assign(added_, 0);
    return true;
}

int64_t DirNames::find(uint64_t h) const {
    const auto it = std::lower_bound(keys_.begin(), keys_.end(), h);
    return it != keys_.end() && *it == h ? it - keys_.begin() : -1;
}

// Names are given in listing order: the first entry of a name keeps it, the
// next ones take the first NAME~k not given out yet. A number given out here
// is a name no entry holds or one whose entry comes later, which is then
// numbered in turn: names given never depend on anything but the listing.
// Two different names never number to the same name (what follows the last
// "~" is digits), so only the names of entries need remembering.
void DirNames::number(const std::string& base) {
    if (!settled_ || numbered_ >= numbers_.size()) return;
    const size_t at = numbered_++;
    const int64_t k = find(digest(base));
    if (k < 0) return;   // a listing that changed between the passes: keep the name
    if (!taken(k)) {
        state_[static_cast<size_t>(k)] |= kTaken;
        return;
    }
    for (uint32_t n = std::max<uint32_t>(counter(k), 2);; ++n) {
        const int64_t other = find(digest(numbered(base, n)));
        if (other >= 0 && taken(other)) continue;
        if (other >= 0) state_[static_cast<size_t>(other)] |= kTaken;
        state_[static_cast<size_t>(k)] = kTaken | (n + 1);
        numbers_[at] = n;
        return;
    }
}

void DirNames::unsettle() {
    settled_ = false;
    std::vector<uint64_t>().swap(keys_);
    std::vector<uint32_t>().swap(state_);
    std::vector<uint32_t>().swap(numbers_);
}

std::string DirNames::next(const std::string& base) {
    const size_t at = given_++;
    if (!settled_ || at >= numbers_.size() || numbers_[at] == 0) return base;
    return numbered(base, numbers_[at]);
}

// Every entry's name is given out to some entry, and numbered names end in
// digits: "NAME.partial" is free unless an entry holds it, and its numbered
// forms are free past those the entries of that name were given.
std::string DirNames::partial(const std::string& name) const {
    const std::string p = name + ".partial";
    if (!settled_) return p;
    const int64_t k = find(digest(p));
    if (k < 0) return p;
    for (uint32_t n = state_.empty() ? 2 : std::max<uint32_t>(counter(k), 2);; ++n) {
        std::string candidate = numbered(p, n);
        if (find(digest(candidate)) < 0) return candidate;
    }
}

} // namespace ds
