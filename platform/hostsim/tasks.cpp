// Tasks on the host: each task is a detached POSIX thread, with a table that
// maps the OS's int task ids to what the host knows of the task (name,
// recorded priority, options and stack size, whether its entry has returned).
#include "platform/hostsim/hostsim.h"
#include "platform/hostsim/internal.h"

#include <pthread.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <new>
#include <unordered_map>
#include <vector>

namespace {

// Task ids start well above small integers so that a stray 0, 1 or -1 never
// names a task by accident.
constexpr int kFirstTaskId = 0x10000;

struct TaskRecord {
    hostsim::TaskInfo info;
    bool ended;
};

struct TaskTable {
    std::mutex lock;
    std::condition_variable ended;         // notified whenever a task ends
    std::vector<TaskRecord> tasks;         // every spawned task, oldest first
    std::unordered_map<int, size_t> index; // tid -> position in tasks
    std::map<std::string, int> spawnFailures;
    int nextId = kFirstTaskId;
    int running = 0;
};

TaskTable &table() {
    static TaskTable *t = new TaskTable; // never destroyed: tasks may outlive main
    return *t;
}

TaskRecord *findLocked(TaskTable &t, int tid) {
    auto it = t.index.find(tid);
    return it == t.index.end() ? nullptr : &t.tasks[it->second];
}

thread_local int t_selfId = 0;

// What a new thread needs to run its entry; owned by the thread.
struct StartBlock {
    int tid;
    FUNCPTR entry;
    _Vx_usr_arg_t args[10];
};

void *threadMain(void *p) {
    StartBlock *start = static_cast<StartBlock *>(p);
    const int tid = start->tid;
    const FUNCPTR entry = start->entry;
    _Vx_usr_arg_t a[10];
    for (int i = 0; i < 10; ++i)
        a[i] = start->args[i];
    delete start; // freed before the task can be seen as ended
    t_selfId = tid;

    entry(a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7], a[8], a[9]);

    TaskTable &t = table();
    {
        std::lock_guard<std::mutex> g(t.lock);
        if (TaskRecord *r = findLocked(t, tid))
            r->ended = true;
        --t.running;
    }
    t.ended.notify_all();
    return nullptr;
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
    StartBlock *start = new (std::nothrow) StartBlock;
    if (start == nullptr) {
        errno = ENOMEM;
        return ERROR;
    }
    start->entry = entry;
    const _Vx_usr_arg_t args[10] = {a1, a2, a3, a4, a5, a6, a7, a8, a9, a10};
    for (int i = 0; i < 10; ++i)
        start->args[i] = args[i];

    std::lock_guard<std::mutex> g(t.lock);
    auto fail = t.spawnFailures.find(taskName);
    if (fail != t.spawnFailures.end() && fail->second > 0) {
        if (--fail->second == 0)
            t.spawnFailures.erase(fail);
        delete start;
        errno = EAGAIN;
        return ERROR;
    }
    const int tid = t.nextId++;
    start->tid = tid;
    // Recorded before the thread starts, so that the new task can already
    // verify itself and a waiter never misses its end.
    t.tasks.push_back(TaskRecord{{tid, taskName, priority, options, stackSize}, false});
    t.index[tid] = t.tasks.size() - 1;
    ++t.running;

    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    const int rc = pthread_create(&thread, &attr, threadMain, start);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        t.tasks.pop_back();
        t.index.erase(tid);
        --t.running;
        delete start;
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
    for (const TaskRecord &r : t.tasks)
        out.push_back(r.info);
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
    std::vector<TaskRecord> kept;
    for (const TaskRecord &r : t.tasks)
        if (!r.ended)
            kept.push_back(r);
    t.tasks.swap(kept);
    t.index.clear();
    for (size_t i = 0; i < t.tasks.size(); ++i)
        t.index[t.tasks[i].info.tid] = i;
}
} // namespace detail

} // namespace hostsim
