#pragma once
// SHA-256 of the bytes an export writes, computed while it writes them. The
// chunk just written is hashed on a second thread while the reading thread
// fetches the next one, so the digest costs the copy almost nothing.

#include <cstdint>
#include <memory>
#include <string>

namespace ds {

class ChunkDigest {
public:
    // With background false every chunk is hashed in the caller's thread.
    explicit ChunkDigest(bool background = true);
    ~ChunkDigest();
    ChunkDigest(const ChunkDigest&) = delete;
    ChunkDigest& operator=(const ChunkDigest&) = delete;

    // Adds the next len bytes. The bytes are read later, on the hashing
    // thread: they must stay unchanged until the next add() or finish()
    // returns, which is why an export alternates between two buffers.
    void add(const uint8_t* data, int64_t len);
    // Waits for every chunk handed over and returns the digest as 64
    // lower-case hex digits; empty when the library failed. Ends the digest.
    std::string finish();

private:
    struct State;
    std::unique_ptr<State> s_;
};

// One-shot digest of a buffer, same text as ChunkDigest::finish().
std::string sha256_hex(const uint8_t* data, int64_t len);

} // namespace ds
