#include "suggest.h"

#include <algorithm>
#include <cstring>

namespace dscli {
namespace {

// Optimal string alignment distance: insertions, deletions, substitutions
// and swaps of two neighbours each cost one.
size_t typing_distance(const std::string& a, const std::string& b) {
    std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
    for (size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
    for (size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
    for (size_t i = 1; i <= a.size(); ++i)
        for (size_t j = 1; j <= b.size(); ++j) {
            size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    return d[a.size()][b.size()];
}

} // namespace

std::string command_word(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        if (std::strcmp(a, "-d") == 0 || std::strcmp(a, "--disk") == 0) {
            ++i;   // its value
            continue;
        }
        if (a[0] == '-') continue;   // --disk=X, -dX, --json, -q, --help...
        return a;
    }
    return "";
}

std::string nearest_command(const std::string& word, const std::vector<std::string>& commands) {
    if (word.empty()) return "";
    std::string lower = word;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    std::vector<std::string> prefixed;
    for (const std::string& c : commands)
        if (c.compare(0, lower.size(), lower) == 0) prefixed.push_back(c);
    if (prefixed.size() == 1) return prefixed[0];

    std::string best;
    size_t best_distance = 0;
    for (const std::string& c : commands) {
        size_t d = typing_distance(lower, c);
        if (best.empty() || d < best_distance) {
            best = c;
            best_distance = d;
        }
    }
    // Two mistakes in a word of four letters or more, one in a shorter one.
    size_t allowed = std::min<size_t>(2, std::max<size_t>(1, lower.size() / 3));
    return best_distance <= allowed ? best : "";
}

} // namespace dscli
