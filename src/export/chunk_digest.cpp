#include "export/chunk_digest.h"

#include <openssl/evp.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace ds {
namespace {

// Below this a chunk is hashed in the caller's thread, after what is queued:
// handing it to the other thread would cost more than hashing it (small
// files, directory files, inline contents). Which thread hashes a chunk
// depends on its size alone, never on how far the other thread has got.
constexpr int64_t kHandOverBytes = 65536;

std::string hex(const unsigned char* md, unsigned len) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(len * 2);
    for (unsigned i = 0; i < len; ++i) {
        out += digits[md[i] >> 4];
        out += digits[md[i] & 15];
    }
    return out;
}

} // namespace

struct ChunkDigest::State {
    EVP_MD_CTX* ctx = nullptr;
    bool ok = false;
    bool background = true;
    int64_t buffer_bytes = 0;
    int buffer_count = 0;

    // Allocated one at a time, when every one allocated is out, and never
    // zeroed: a copy of many small files lends one buffer per file, and
    // filling buffers it never uses cost more than the copy itself.
    std::vector<std::unique_ptr<uint8_t[]>> buffers;
    std::vector<int> free_buffers;
    int lent = -1;                               // the buffer last returned by buffer()

    std::mutex m;
    std::condition_variable cv;
    std::thread worker;
    std::deque<std::pair<int, int64_t>> queue;   // buffers waiting to be hashed, in order
    bool hashing = false;                        // the worker holds a buffer out of the queue
    bool stop = false;

    void update(const uint8_t* data, int64_t len) {
        if (ok && len > 0) ok = EVP_DigestUpdate(ctx, data, static_cast<size_t>(len)) == 1;
    }

    void run() {
        std::unique_lock lock(m);
        for (;;) {
            cv.wait(lock, [this] { return !queue.empty() || stop; });
            if (queue.empty()) return;
            auto [index, len] = queue.front();
            queue.pop_front();
            hashing = true;
            const uint8_t* data = buffers[static_cast<size_t>(index)].get();   // read under the lock: buffer() may add one
            lock.unlock();
            update(data, len);   // only this thread touches ctx now
            lock.lock();
            hashing = false;
            free_buffers.push_back(index);
            cv.notify_all();
        }
    }

    // Every buffer handed over has been hashed.
    void wait_idle() {
        std::unique_lock lock(m);
        wait_idle(lock);
    }
    void wait_idle(std::unique_lock<std::mutex>& lock) {
        cv.wait(lock, [this] { return queue.empty() && !hashing; });
    }

    // Starts the hashing thread on the first chunk that goes to it. A host
    // that cannot start one more thread (no memory for its stack, a limit on
    // threads) gets every chunk hashed in the caller's thread instead: the
    // export goes on and its digest is the same.
    bool start_worker() {
        if (worker.joinable()) return true;
        try {
            worker = std::thread([this] { run(); });
        } catch (const std::system_error&) {
            background = false;
        }
        return worker.joinable();
    }
};

ChunkDigest::ChunkDigest(bool background, int64_t buffer_bytes, int buffers) : s_(std::make_unique<State>()) {
    s_->background = background;
    s_->buffer_bytes = buffer_bytes > 0 ? buffer_bytes : 1;
    s_->buffer_count = buffers > 1 ? buffers : 2;
    s_->ctx = EVP_MD_CTX_new();
    s_->ok = s_->ctx && EVP_DigestInit_ex(s_->ctx, EVP_sha256(), nullptr) == 1;
}

ChunkDigest::~ChunkDigest() {
    if (s_->worker.joinable()) {
        {
            std::lock_guard lock(s_->m);
            s_->stop = true;
        }
        s_->cv.notify_all();
        s_->worker.join();   // hashes what is queued first
    }
    EVP_MD_CTX_free(s_->ctx);
}

uint8_t* ChunkDigest::buffer() {
    std::unique_lock lock(s_->m);
    if (s_->lent >= 0) s_->free_buffers.push_back(s_->lent);   // lent again without a submit
    if (s_->free_buffers.empty() && s_->buffers.size() < static_cast<size_t>(s_->buffer_count)) {
        s_->buffers.push_back(std::make_unique_for_overwrite<uint8_t[]>(static_cast<size_t>(s_->buffer_bytes)));
        s_->free_buffers.push_back(static_cast<int>(s_->buffers.size()) - 1);
    }
    s_->cv.wait(lock, [this] { return !s_->free_buffers.empty(); });
    s_->lent = s_->free_buffers.back();
    s_->free_buffers.pop_back();
    return s_->buffers[static_cast<size_t>(s_->lent)].get();
}

void ChunkDigest::submit(int64_t len) {
    std::unique_lock lock(s_->m);
    const int index = s_->lent;
    s_->lent = -1;
    if (index < 0) return;
    if (len > s_->buffer_bytes) len = s_->buffer_bytes;
    if (len > 0 && s_->background && len >= kHandOverBytes && s_->start_worker()) {
        s_->queue.emplace_back(index, len);
        s_->cv.notify_all();
        return;
    }
    if (len > 0) {
        // Once what is queued is hashed, the context is this thread's to use.
        s_->wait_idle(lock);
        lock.unlock();
        s_->update(s_->buffers[static_cast<size_t>(index)].get(), len);
        lock.lock();
    }
    s_->free_buffers.push_back(index);
}

void ChunkDigest::add(const uint8_t* data, int64_t len) {
    if (len <= 0) return;
    s_->wait_idle();
    s_->update(data, len);
}

std::string ChunkDigest::finish() {
    s_->wait_idle();
    if (!s_->ok) return {};
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned len = 0;
    s_->ok = false;   // a finished context takes no more bytes
    if (EVP_DigestFinal_ex(s_->ctx, md, &len) != 1) return {};
    return hex(md, len);
}

std::string sha256_hex(const uint8_t* data, int64_t len) {
    ChunkDigest d(false);
    d.add(data, len);
    return d.finish();
}

} // namespace ds
