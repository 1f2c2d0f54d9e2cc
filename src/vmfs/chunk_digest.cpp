#include "vmfs/chunk_digest.h"

#include <openssl/evp.h>

#include <condition_variable>
#include <mutex>
#include <thread>

namespace ds {
namespace {

// Below this a chunk is hashed at once: handing it to the other thread would
// cost more than hashing it (small files, directory files, inline contents).
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

    std::mutex m;
    std::condition_variable cv;
    std::thread worker;
    const uint8_t* job = nullptr;   // the chunk the worker is to hash
    int64_t job_len = 0;
    bool busy = false;
    bool stop = false;

    void update(const uint8_t* data, int64_t len) {
        if (ok && len > 0) ok = EVP_DigestUpdate(ctx, data, static_cast<size_t>(len)) == 1;
    }

    void run() {
        std::unique_lock lock(m);
        for (;;) {
            cv.wait(lock, [this] { return busy || stop; });
            if (busy) {
                const uint8_t* data = job;
                int64_t len = job_len;
                lock.unlock();
                update(data, len);   // only this thread touches ctx while busy
                lock.lock();
                busy = false;
                cv.notify_all();
            } else {
                return;
            }
        }
    }

    void wait_idle() {
        std::unique_lock lock(m);
        cv.wait(lock, [this] { return !busy; });
    }
};

ChunkDigest::ChunkDigest(bool background) : s_(std::make_unique<State>()) {
    s_->background = background;
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
        s_->worker.join();   // finishes the chunk in hand first
    }
    EVP_MD_CTX_free(s_->ctx);
}

void ChunkDigest::add(const uint8_t* data, int64_t len) {
    if (len <= 0) return;
    s_->wait_idle();
    if (!s_->background || len < kHandOverBytes) {
        s_->update(data, len);
        return;
    }
    if (!s_->worker.joinable()) s_->worker = std::thread([st = s_.get()] { st->run(); });
    {
        std::lock_guard lock(s_->m);
        s_->job = data;
        s_->job_len = len;
        s_->busy = true;
    }
    s_->cv.notify_all();
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
