#include "interrupt.h"

#include <atomic>
#include <csignal>

namespace dscli {
namespace {

std::atomic<bool> g_interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the flag is set from a signal handler");

extern "C" void on_sigint(int) { g_interrupted.store(true, std::memory_order_relaxed); }

} // namespace

void install_interrupt_handler() {
    struct sigaction sa {};
    sa.sa_handler = on_sigint;
    sigemptyset(&sa.sa_mask);
    // Reads and writes in progress carry on (the copy stops between chunks,
    // not in the middle of one); the handler is used once, so a second
    // Ctrl-C still stops a program that is stuck in a slow device read.
    sa.sa_flags = SA_RESTART | SA_RESETHAND;
    sigaction(SIGINT, &sa, nullptr);
}

bool interrupted() { return g_interrupted.load(std::memory_order_relaxed); }

} // namespace dscli
