// Binary semaphores on the host: a mutex, a condition variable and a queue of
// waiting tickets, so that waiters are served first come, first served.
#include "platform/hostsim/internal.h"
#include "platform/vxworks.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <new>

struct semaphore {
    std::mutex lock;
    std::condition_variable changed;
    bool full = false;
    bool deleted = false;
    int waiters = 0;            // tasks inside semTake
    std::deque<uint64_t> queue; // tickets of the waiters, oldest first
    uint64_t nextTicket = 0;
};

namespace {

// How long `ticks` last at the current tick rate.
std::chrono::nanoseconds ticksToDuration(int ticks) {
    const int rate = sysClkRateGet();
    return std::chrono::nanoseconds(static_cast<int64_t>(ticks) * 1000000000LL / rate);
}

void dropTicket(std::deque<uint64_t> &queue, uint64_t ticket) {
    for (auto it = queue.begin(); it != queue.end(); ++it) {
        if (*it == ticket) {
            queue.erase(it);
            return;
        }
    }
}

} // namespace

// Host: SEM_Q_PRIORITY is accepted but served FIFO too (priorities are not
// enforced on the host).
SEM_ID semBCreate(int options, SEM_B_STATE initialState) {
    (void)options;
    semaphore *s = new (std::nothrow) semaphore;
    if (s == nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    s->full = (initialState == SEM_FULL);
    return s;
}

STATUS semTake(SEM_ID semId, int timeout) {
    if (semId == nullptr) {
        errno = S_objLib_OBJ_ID_ERROR;
        return ERROR;
    }
    semaphore &s = *semId;
    std::unique_lock<std::mutex> g(s.lock);
    if (s.deleted) {
        errno = S_objLib_OBJ_DELETED;
        return ERROR;
    }
    if (s.full && s.queue.empty()) {
        s.full = false;
        return OK;
    }
    if (timeout == NO_WAIT) {
        errno = S_objLib_OBJ_UNAVAILABLE;
        return ERROR;
    }
    const uint64_t ticket = s.nextTicket++;
    s.queue.push_back(ticket);
    ++s.waiters;
    auto ready = [&] { return s.deleted || (s.full && s.queue.front() == ticket); };
    bool got;
    if (timeout < 0) {
        s.changed.wait(g, ready);
        got = true;
    } else {
        got = s.changed.wait_for(g, ticksToDuration(timeout), ready);
    }
    dropTicket(s.queue, ticket);
    --s.waiters;
    STATUS result = OK;
    if (s.deleted) {
        errno = S_objLib_OBJ_DELETED;
        result = ERROR;
    } else if (!got) {
        errno = S_objLib_OBJ_TIMEOUT;
        result = ERROR;
    } else {
        s.full = false;
    }
    // Wakes the next waiter (a given semaphore may now be its turn) or a
    // semDelete waiting for the waiters to leave. Notified under the lock:
    // once it is released, semDelete may free the semaphore.
    s.changed.notify_all();
    return result;
}

STATUS semGive(SEM_ID semId) {
    if (semId == nullptr) {
        errno = S_objLib_OBJ_ID_ERROR;
        return ERROR;
    }
    {
        std::lock_guard<std::mutex> g(semId->lock);
        if (semId->deleted) {
            errno = S_objLib_OBJ_DELETED;
            return ERROR;
        }
        semId->full = true;
        semId->changed.notify_all();
    }
    return OK;
}

// Waiters still blocked on the semaphore return ERROR; the memory is released
// once the last of them has left semTake.
STATUS semDelete(SEM_ID semId) {
    if (semId == nullptr) {
        errno = S_objLib_OBJ_ID_ERROR;
        return ERROR;
    }
    {
        std::unique_lock<std::mutex> g(semId->lock);
        if (semId->deleted) {
            errno = S_objLib_OBJ_DELETED;
            return ERROR;
        }
        semId->deleted = true;
        semId->changed.notify_all();
        semId->changed.wait(g, [&] { return semId->waiters == 0; });
    }
    delete semId;
    return OK;
}
