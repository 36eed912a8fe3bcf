// Tasks on the host: each task runs on a POSIX thread, with a table that maps
// the OS's int task ids to what the host knows of the task (name, recorded
// priority, options and stack size, whether its entry has returned).
//
// Threads are kept for reuse: a thread whose task has ended waits a while for
// the next taskSpawn before it exits. The extractor spawns a task per chunk
// of an archive, thousands per extraction, and on the unit a spawn is cheap;
// creating a thread each time made the host pay for thread creation and
// start-up on every chunk.
#include "platform/hostsim/hostsim.h"
#include "platform/hostsim/internal.h"

#include <pthread.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <new>
#include <vector>

namespace {

// Task ids start well above small integers so that a stray 0, 1 or -1 never
// names a task by accident.
constexpr int kFirstTaskId = 0x10000;
// Ended tasks remembered (newest kept); older ones are forgotten so that the
// table stays flat however many chunks an extraction spawns.
constexpr size_t kEndedKept = 1024;
// How long an idle thread waits for a new task before it exits.
constexpr auto kIdleWait = std::chrono::seconds(2);

struct TaskRecord {
    hostsim::TaskInfo info;
    bool ended;
};

// What a thread needs to run one task's entry.
struct StartBlock {
    int tid;
    FUNCPTR entry;
    _Vx_usr_arg_t args[10];
};

struct TaskTable {
    std::mutex lock;
    std::condition_variable ended;     // notified whenever a task ends
    std::map<int, TaskRecord> tasks;   // by tid: oldest first
    std::deque<int> endedOrder;        // ended tids still in tasks, oldest end first
    std::map<std::string, int> spawnFailures;
    int nextId = kFirstTaskId;
    int running = 0;
    // Idle threads: the ones waiting in `work` for a task, and the tasks
    // handed over to them and not yet taken (never more than the waiters).
    std::condition_variable work;
    std::deque<StartBlock> queued;
    int idle = 0;
    // Set while endIdleThreads sends the idle threads away; `left` is
    // notified as each one stops waiting.
    bool draining = false;
    std::condition_variable left;
    // Threads sent away by endIdleThreads, which it joins.
    std::vector<pthread_t> exited;
};

TaskTable *g_table = nullptr;
// In a forked child: the parent's table, left as it was (its lock is held).
TaskTable *g_parentTable = nullptr;
std::once_flag g_tableOnce;

void prepareFork();
void afterForkParent();
void afterForkChild();

TaskTable &table() {
    std::call_once(g_tableOnce, [] {
        g_table = new TaskTable; // never destroyed: tasks may outlive main
        pthread_atfork(prepareFork, afterForkParent, afterForkChild);
    });
    return *g_table;
}

// A fork copies only the forking thread: the table's lock is held across it
// so that the child gets a consistent table, and the child drops the idle
// threads it does not have (tasks handed to them would never run).
void prepareFork() {
    g_table->lock.lock();
}
void afterForkParent() {
    g_table->lock.unlock();
}
void afterForkChild() {
    TaskTable *old = g_table;
    TaskTable *fresh = new TaskTable;
    fresh->tasks = old->tasks;
    fresh->endedOrder = old->endedOrder;
    fresh->spawnFailures = old->spawnFailures;
    fresh->nextId = old->nextId;
    fresh->running = old->running;
    g_parentTable = old; // left behind with its held lock, never used again
    g_table = fresh;
}

TaskRecord *findLocked(TaskTable &t, int tid) {
    auto it = t.tasks.find(tid);
    return it == t.tasks.end() ? nullptr : &it->second;
}

// Forgets the oldest ended tasks beyond the number kept.
void trimEndedLocked(TaskTable &t) {
    while (t.endedOrder.size() > kEndedKept) {
        t.tasks.erase(t.endedOrder.front());
        t.endedOrder.pop_front();
    }
}

thread_local int t_selfId = 0;

void runTask(const StartBlock &start) {
    // A task starts as a new task would on the unit: its own id, errno 0.
    t_selfId = start.tid;
    errno = 0;
    const _Vx_usr_arg_t *a = start.args;
    start.entry(a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7], a[8], a[9]);
    t_selfId = 0;

    TaskTable &t = table();
    {
        std::lock_guard<std::mutex> g(t.lock);
        if (TaskRecord *r = findLocked(t, start.tid)) {
            r->ended = true;
            t.endedOrder.push_back(start.tid);
            trimEndedLocked(t);
        }
        --t.running;
    }
    t.ended.notify_all();
}

void *threadMain(void *p) {
    StartBlock *first = static_cast<StartBlock *>(p);
    StartBlock start = *first;
    delete first;
    for (;;) {
        runTask(start);
        TaskTable &t = table();
        std::unique_lock<std::mutex> g(t.lock);
        ++t.idle;
        t.work.wait_for(g, kIdleWait, [&] { return !t.queued.empty() || t.draining; });
        --t.idle;
        t.left.notify_all();
        if (t.queued.empty()) {
            // Ended by endIdleThreads, which joins it; or nothing came in
            // time, and nobody waits for it.
            if (t.draining)
                t.exited.push_back(pthread_self());
            else
                pthread_detach(pthread_self());
            return nullptr;
        }
        start = t.queued.front();
        t.queued.pop_front();
    }
}

} // namespace

// Host: the priority, options and stack size are recorded, not applied; the
// thread gets the host's default stack, which is larger than any the module
// asks for.
int taskSpawn(const char *name, int priority, int options, int stackSize, FUNCPTR entry,
              _Vx_usr_arg_t a1, _Vx_usr_arg_t a2, _Vx_usr_arg_t a3, _Vx_usr_arg_t a4,
              _Vx_usr_arg_t a5, _Vx_usr_arg_t a6, _Vx_usr_arg_t a7, _Vx_usr_arg_t a8,
              _Vx_usr_arg_t a9, _Vx_usr_arg_t a10) {
    if (entry == nullptr) {
        errno = EINVAL;
        return ERROR;
    }
    const std::string taskName = name ? name : "";
    TaskTable &t = table();
    StartBlock start;
    start.entry = entry;
    const _Vx_usr_arg_t args[10] = {a1, a2, a3, a4, a5, a6, a7, a8, a9, a10};
    for (int i = 0; i < 10; ++i)
        start.args[i] = args[i];

    std::lock_guard<std::mutex> g(t.lock);
    auto fail = t.spawnFailures.find(taskName);
    if (fail != t.spawnFailures.end() && fail->second > 0) {
        if (--fail->second == 0)
            t.spawnFailures.erase(fail);
        errno = EAGAIN;
        return ERROR;
    }
    const int tid = t.nextId++;
    start.tid = tid;
    // Recorded before the task starts, so that the new task can already
    // verify itself and a waiter never misses its end.
    t.tasks.emplace(tid, TaskRecord{{tid, taskName, priority, options, stackSize}, false});
    ++t.running;

    if (t.queued.size() < (size_t)t.idle) {
        // An idle thread takes it.
        t.queued.push_back(start);
        t.work.notify_one();
        return tid;
    }
    StartBlock *owned = new (std::nothrow) StartBlock(start);
    int rc = ENOMEM;
    if (owned != nullptr) {
        pthread_t thread;
        rc = pthread_create(&thread, nullptr, threadMain, owned);
        if (rc != 0)
            delete owned;
    }
    if (rc != 0) {
        t.tasks.erase(tid);
        --t.running;
        errno = rc;
        return ERROR;
    }
    return tid;
}

STATUS taskIdVerify(int tid) {
    TaskTable &t = table();
    std::lock_guard<std::mutex> g(t.lock);
    if (const TaskRecord *r = findLocked(t, tid))
        return r->ended ? ERROR : OK;
    // A thread that was not spawned but took an id through taskIdSelf: the
    // host cannot tell when it ends, so its own id stays valid for itself.
    if (tid != 0 && tid == t_selfId)
        return OK;
    return ERROR;
}

// Host: a thread not created by taskSpawn (main, a test's thread) gets a fresh
// id on its first call.
int taskIdSelf() {
    if (t_selfId == 0) {
        TaskTable &t = table();
        std::lock_guard<std::mutex> g(t.lock);
        t_selfId = t.nextId++;
    }
    return t_selfId;
}

namespace hostsim {

std::vector<TaskInfo> spawnedTasks() {
    TaskTable &t = table();
    std::lock_guard<std::mutex> g(t.lock);
    std::vector<TaskInfo> out;
    out.reserve(t.tasks.size());
    for (const auto &r : t.tasks)
        out.push_back(r.second.info);
    return out;
}

void failTaskSpawn(const std::string &name, int count) {
    TaskTable &t = table();
    std::lock_guard<std::mutex> g(t.lock);
    if (count > 0)
        t.spawnFailures[name] = count;
    else
        t.spawnFailures.erase(name);
}

bool waitTaskEnd(int tid, int timeoutMs) {
    TaskTable &t = table();
    std::unique_lock<std::mutex> g(t.lock);
    return t.ended.wait_for(g, std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs), [&] {
        const TaskRecord *r = findLocked(t, tid);
        return r == nullptr || r->ended;
    });
}

void endIdleThreads() {
    TaskTable &t = table();
    std::vector<pthread_t> gone;
    {
        std::unique_lock<std::mutex> g(t.lock);
        t.draining = true;
        t.work.notify_all();
        t.left.wait(g, [&] { return t.idle == 0; });
        t.draining = false;
        gone.swap(t.exited);
    }
    for (pthread_t thread : gone)
        pthread_join(thread, nullptr);
}

bool waitAllTasks(int timeoutMs) {
    TaskTable &t = table();
    std::unique_lock<std::mutex> g(t.lock);
    return t.ended.wait_for(g, std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs),
                            [&] { return t.running == 0; });
}

namespace detail {
void resetTasks() {
    TaskTable &t = table();
    std::lock_guard<std::mutex> g(t.lock);
    t.spawnFailures.clear();
    // Ended tasks are forgotten; tasks still running stay known (and
    // verifiable) until they end.
    for (int tid : t.endedOrder)
        t.tasks.erase(tid);
    t.endedOrder.clear();
}
} // namespace detail

} // namespace hostsim
