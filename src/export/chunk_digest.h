#pragma once
// SHA-256 of the bytes an export writes, computed while it writes them. The
// export reads each chunk into a buffer the digest lends it and hands the
// buffer back once written; a second thread hashes the buffers in order
// while the export goes on with the next ones. Several buffers are in
// flight, so that neither side waits for every stall of the other (a slow
// read, the host disk taking its writes).

#include <cstdint>
#include <memory>
#include <string>

namespace ds {

class ChunkDigest {
public:
    // With background false every chunk is hashed in the caller's thread.
    explicit ChunkDigest(bool background = true, int64_t buffer_bytes = 1 << 20, int buffers = 8);
    ~ChunkDigest();
    ChunkDigest(const ChunkDigest&) = delete;
    ChunkDigest& operator=(const ChunkDigest&) = delete;

    // A buffer of buffer_bytes to fill; waits while every buffer is queued.
    uint8_t* buffer();
    // Appends the first len bytes of the buffer last lent; len 0 only gives
    // it back. The buffer must not be touched afterwards.
    void submit(int64_t len);

    // Appends len bytes from the caller's memory, hashed before it returns
    // (after every buffer submitted earlier).
    void add(const uint8_t* data, int64_t len);

    // Waits for every buffer handed over and returns the digest as 64
    // lower-case hex digits; empty when the library failed. Ends the digest.
    std::string finish();

private:
    struct State;
    std::unique_ptr<State> s_;
};

// One-shot digest of a buffer, same text as ChunkDigest::finish().
std::string sha256_hex(const uint8_t* data, int64_t len);

} // namespace ds
