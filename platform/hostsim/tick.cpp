// The tick clock on the host: ticks since start at a configurable rate, kept
// monotonic across rate changes by counting from the tick reached at the last
// change; taskDelay sleeps for ticks at the current rate.
#include "platform/hostsim/internal.h"
#include "platform/vxworks.h"

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <thread>

namespace {

constexpr int kDefaultRate = 60;

using Clock = std::chrono::steady_clock;

struct TickClock {
    std::mutex lock;
    int rate = kDefaultRate;
    uint64_t baseTicks = 0; // ticks reached at the last rate change
    Clock::time_point baseTime = Clock::now();
};

TickClock &clk() {
    static TickClock *c = new TickClock; // never destroyed: tasks may outlive main
    return *c;
}

uint64_t ticksLocked(const TickClock &c) {
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - c.baseTime).count();
    const uint64_t ns = static_cast<uint64_t>(elapsed);
    const uint64_t rate = static_cast<uint64_t>(c.rate);
    // Split into seconds and the rest so that long runs at high rates do not
    // overflow.
    return c.baseTicks + (ns / 1000000000ULL) * rate + (ns % 1000000000ULL) * rate / 1000000000ULL;
}

} // namespace

ULONG tickGet() {
    TickClock &c = clk();
    std::lock_guard<std::mutex> g(c.lock);
    return static_cast<ULONG>(ticksLocked(c));
}

int sysClkRateGet() {
    TickClock &c = clk();
    std::lock_guard<std::mutex> g(c.lock);
    return c.rate;
}

STATUS sysClkRateSet(int ticksPerSecond) {
    if (ticksPerSecond <= 0) {
        errno = EINVAL;
        return ERROR;
    }
    TickClock &c = clk();
    std::lock_guard<std::mutex> g(c.lock);
    c.baseTicks = ticksLocked(c);
    c.baseTime = Clock::now();
    c.rate = ticksPerSecond;
    return OK;
}

// Host: the delay is computed from the rate when the call starts; a rate
// change during the sleep does not shorten it.
STATUS taskDelay(int ticks) {
    if (ticks < 0) {
        errno = EINVAL;
        return ERROR;
    }
    if (ticks == 0) {
        std::this_thread::yield();
        return OK;
    }
    const int rate = sysClkRateGet();
    std::this_thread::sleep_for(
        std::chrono::nanoseconds(static_cast<int64_t>(ticks) * 1000000000LL / rate));
    return OK;
}

namespace hostsim {

void setTickRate(int ticksPerSecond) {
    sysClkRateSet(ticksPerSecond);
}

namespace detail {
void resetTick() {
    sysClkRateSet(kDefaultRate);
}
} // namespace detail

} // namespace hostsim
