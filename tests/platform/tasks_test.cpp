// Tasks, binary semaphores and the tick clock of the host platform.
#include "platform/hostsim/hostsim.h"
#include "platform/vxworks.h"
#include "tests/support/child_process.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace {

constexpr int kWaitTicks = 10 * 60; // ten seconds at the default rate
constexpr int kJoinMs = 10000;

class TaskTest : public ::testing::Test {
protected:
    void SetUp() override { hostsim::resetAll(); }
    void TearDown() override {
        EXPECT_TRUE(hostsim::waitAllTasks(kJoinMs));
        hostsim::resetAll();
    }
};

// Ping-pong between the test and a task: each round the task waits for
// `ping`, adds one to the counter and gives `pong`.
struct PingPong {
    SEM_ID ping;
    SEM_ID pong;
    int rounds;
    std::atomic<int> counter{0};
    std::atomic<int> selfId{0};
    std::atomic<int> failures{0};
};

int pingPongTask(_Vx_usr_arg_t arg) {
    PingPong *pp = reinterpret_cast<PingPong *>(arg);
    pp->selfId.store(taskIdSelf());
    for (int i = 0; i < pp->rounds; ++i) {
        if (semTake(pp->ping, kWaitTicks) != OK) {
            pp->failures.fetch_add(1);
            return -1;
        }
        pp->counter.fetch_add(1);
        semGive(pp->pong);
    }
    return 0;
}

TEST_F(TaskTest, SemaphoreHandshakeBetweenTwoTasks) {
    PingPong pp;
    pp.ping = semBCreate(SEM_Q_FIFO, SEM_EMPTY);
    pp.pong = semBCreate(SEM_Q_FIFO, SEM_EMPTY);
    ASSERT_NE(pp.ping, nullptr);
    ASSERT_NE(pp.pong, nullptr);
    pp.rounds = 50;
    const int tid =
        taskSpawn("PingTask", 155, VX_FP_TASK, 20000, reinterpret_cast<FUNCPTR>(pingPongTask),
                  reinterpret_cast<_Vx_usr_arg_t>(&pp));
    ASSERT_GT(tid, 0);
    for (int i = 0; i < pp.rounds; ++i) {
        ASSERT_EQ(semGive(pp.ping), OK);
        ASSERT_EQ(semTake(pp.pong, kWaitTicks), OK) << "round " << i;
        EXPECT_EQ(pp.counter.load(), i + 1);
    }
    ASSERT_TRUE(hostsim::waitTaskEnd(tid, kJoinMs));
    EXPECT_EQ(pp.failures.load(), 0);
    EXPECT_EQ(pp.selfId.load(), tid);
    EXPECT_EQ(semDelete(pp.ping), OK);
    EXPECT_EQ(semDelete(pp.pong), OK);
}

std::atomic<long> g_argSum{0};

int tenArgsTask(_Vx_usr_arg_t a1, _Vx_usr_arg_t a2, _Vx_usr_arg_t a3, _Vx_usr_arg_t a4,
                _Vx_usr_arg_t a5, _Vx_usr_arg_t a6, _Vx_usr_arg_t a7, _Vx_usr_arg_t a8,
                _Vx_usr_arg_t a9, _Vx_usr_arg_t a10) {
    // Weighted so that a swapped pair of arguments shows.
    g_argSum.store(a1 * 1 + a2 * 2 + a3 * 3 + a4 * 4 + a5 * 5 + a6 * 6 + a7 * 7 + a8 * 8 + a9 * 9 +
                   a10 * 10);
    return 0;
}

TEST_F(TaskTest, SpawnPassesTenArgumentsAndRecordsTheTask) {
    g_argSum.store(0);
    const int tid =
        taskSpawn("ArgTask", 200, VX_FP_TASK, 12345, reinterpret_cast<FUNCPTR>(tenArgsTask), 1, 2,
                  3, 4, 5, 6, 7, 8, 9, 10);
    ASSERT_GT(tid, 0);
    ASSERT_TRUE(hostsim::waitTaskEnd(tid, kJoinMs));
    EXPECT_EQ(g_argSum.load(), 1 + 4 + 9 + 16 + 25 + 36 + 49 + 64 + 81 + 100);

    bool found = false;
    for (const hostsim::TaskInfo &t : hostsim::spawnedTasks()) {
        if (t.tid == tid) {
            found = true;
            EXPECT_EQ(t.name, "ArgTask");
            EXPECT_EQ(t.priority, 200);
            EXPECT_EQ(t.options, VX_FP_TASK);
            EXPECT_EQ(t.stackSize, 12345);
        }
    }
    EXPECT_TRUE(found);
}

int waitOnSemTask(_Vx_usr_arg_t sem) {
    return semTake(reinterpret_cast<SEM_ID>(sem), kWaitTicks) == OK ? 0 : -1;
}

TEST_F(TaskTest, TaskIdVerifyFailsOnceTheTaskHasEnded) {
    SEM_ID sem = semBCreate(SEM_Q_FIFO, SEM_EMPTY);
    ASSERT_NE(sem, nullptr);
    const int tid = taskSpawn("Blocked", 100, 0, 4096, reinterpret_cast<FUNCPTR>(waitOnSemTask),
                              reinterpret_cast<_Vx_usr_arg_t>(sem));
    ASSERT_GT(tid, 0);
    EXPECT_EQ(taskIdVerify(tid), OK);
    EXPECT_FALSE(hostsim::waitTaskEnd(tid, 0));
    semGive(sem);
    ASSERT_TRUE(hostsim::waitTaskEnd(tid, kJoinMs));
    EXPECT_EQ(taskIdVerify(tid), ERROR);
    EXPECT_EQ(taskIdVerify(0), ERROR);
    EXPECT_EQ(taskIdVerify(-1), ERROR);
    // The test's own thread has an id of its own, valid for itself.
    const int self = taskIdSelf();
    EXPECT_GT(self, 0);
    EXPECT_NE(self, tid);
    EXPECT_EQ(taskIdSelf(), self);
    EXPECT_EQ(taskIdVerify(self), OK);
    semDelete(sem);
}

int noopTask() {
    return 0;
}

TEST_F(TaskTest, FailTaskSpawnFailsOnlyTheNamedTaskTheGivenNumberOfTimes) {
    hostsim::failTaskSpawn("TarWrtTask", 2);
    const FUNCPTR entry = reinterpret_cast<FUNCPTR>(noopTask);
    EXPECT_EQ(taskSpawn("TarWrtTask", 155, VX_FP_TASK, 20000, entry), ERROR);
    const int other = taskSpawn("BarGraphTask", 200, VX_FP_TASK, 20000, entry);
    EXPECT_GT(other, 0);
    EXPECT_EQ(taskSpawn("TarWrtTask", 155, VX_FP_TASK, 20000, entry), ERROR);
    const int third = taskSpawn("TarWrtTask", 155, VX_FP_TASK, 20000, entry);
    EXPECT_GT(third, 0);
    EXPECT_NE(third, other);

    hostsim::failTaskSpawn("TarWrtTask", 5);
    hostsim::resetAll(); // clears pending failures
    const int fourth = taskSpawn("TarWrtTask", 155, VX_FP_TASK, 20000, entry);
    EXPECT_GT(fourth, 0);
    ASSERT_TRUE(hostsim::waitAllTasks(kJoinMs));
    hostsim::resetAll(); // forgets ended tasks
    EXPECT_TRUE(hostsim::spawnedTasks().empty());
    EXPECT_EQ(taskIdVerify(fourth), ERROR);
    EXPECT_EQ(taskSpawn("NoEntry", 1, 0, 1, nullptr), ERROR);
}

// Each run counts a start with errno set, then leaves errno set for
// whatever runs next on the same thread.
std::atomic<int> g_dirtyStarts{0};
int errnoProbeTask() {
    if (errno != 0)
        g_dirtyStarts.fetch_add(1);
    errno = EIO;
    return 0;
}

TEST_F(TaskTest, TasksInSequenceStartCleanAndTheTableStaysBounded) {
    // One task after the other, as the extractor spawns its writers: every
    // task starts with errno 0, and the table keeps every running task but
    // not every ended one.
    g_dirtyStarts.store(0);
    SEM_ID gate = semBCreate(SEM_Q_FIFO, SEM_EMPTY);
    const int blocked = taskSpawn("Blocked", 100, 0, 4096, reinterpret_cast<FUNCPTR>(waitOnSemTask),
                                  reinterpret_cast<_Vx_usr_arg_t>(gate));
    ASSERT_GT(blocked, 0);
    const int rounds = 3000;
    int last = 0;
    for (int i = 0; i < rounds; ++i) {
        last = taskSpawn("TarWrtTask", 155, VX_FP_TASK, 20000,
                         reinterpret_cast<FUNCPTR>(errnoProbeTask));
        ASSERT_GT(last, 0);
        ASSERT_TRUE(hostsim::waitTaskEnd(last, kJoinMs));
    }
    EXPECT_EQ(g_dirtyStarts.load(), 0);
    EXPECT_EQ(taskIdVerify(last), ERROR);
    const std::vector<hostsim::TaskInfo> known = hostsim::spawnedTasks();
    EXPECT_LE(known.size(), 1025u);
    EXPECT_GE(known.size(), 1000u);
    EXPECT_EQ(known.front().tid, blocked); // oldest first, still running
    EXPECT_EQ(known.back().tid, last);
    EXPECT_EQ(taskIdVerify(blocked), OK);
    semGive(gate);
    ASSERT_TRUE(hostsim::waitTaskEnd(blocked, kJoinMs));
    semDelete(gate);
}

TEST_F(TaskTest, AForkedChildSpawnsTasksAfterThreadsWereLeftIdle) {
    // Threads of ended tasks wait for reuse; a child process has none of
    // them, so its spawns must start threads of its own.
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer cannot start threads in a child of a threaded process";
#elif defined(UPG_TESTS_EMULATED)
    GTEST_SKIP() << "user-mode emulation cannot start threads in a child of a threaded process";
#endif
    const FUNCPTR entry = reinterpret_cast<FUNCPTR>(errnoProbeTask);
    for (int i = 0; i < 3; ++i) {
        const int tid = taskSpawn("Before", 100, 0, 4096, entry);
        ASSERT_GT(tid, 0);
        ASSERT_TRUE(hostsim::waitTaskEnd(tid, kJoinMs));
    }
    // A child stuck on the table's lock or on a task that never runs is
    // killed after ten seconds and fails the test.
    EXPECT_EQ(testsupport::runInChild([entry] {
                  const int tid = taskSpawn("InChild", 100, 0, 4096, entry);
                  _exit(tid > 0 && hostsim::waitTaskEnd(tid, 5000) ? 0 : 1);
              }),
              0)
        << "the child's task never ended";
}

TEST_F(TaskTest, SemTakeTimesOutOrFailsAtOnceWithNoWait) {
    SEM_ID sem = semBCreate(SEM_Q_FIFO, SEM_EMPTY);
    ASSERT_NE(sem, nullptr);
    hostsim::setTickRate(1000);

    errnoSet(0);
    EXPECT_EQ(semTake(sem, NO_WAIT), ERROR);
    EXPECT_EQ(errnoGet(), S_objLib_OBJ_UNAVAILABLE);

    const ULONG before = tickGet();
    EXPECT_EQ(semTake(sem, 20), ERROR);
    EXPECT_EQ(errnoGet(), S_objLib_OBJ_TIMEOUT);
    EXPECT_GE(tickGet() - before, 20UL); // waited at least the timeout

    // A give is kept for the next take, and only one: the semaphore is binary.
    EXPECT_EQ(semGive(sem), OK);
    EXPECT_EQ(semGive(sem), OK);
    EXPECT_EQ(semTake(sem, NO_WAIT), OK);
    EXPECT_EQ(semTake(sem, NO_WAIT), ERROR);

    SEM_ID full = semBCreate(SEM_Q_FIFO, SEM_FULL);
    EXPECT_EQ(semTake(full, NO_WAIT), OK);
    EXPECT_EQ(semDelete(full), OK);
    EXPECT_EQ(semDelete(sem), OK);

    EXPECT_EQ(semTake(nullptr, NO_WAIT), ERROR);
    EXPECT_EQ(semGive(nullptr), ERROR);
    EXPECT_EQ(semDelete(nullptr), ERROR);
}

TEST_F(TaskTest, TickRateChangesKeepTheClockMonotonic) {
    EXPECT_EQ(sysClkRateGet(), 60);
    hostsim::setTickRate(2000);
    EXPECT_EQ(sysClkRateGet(), 2000);
    const ULONG t0 = tickGet();
    EXPECT_EQ(taskDelay(100), OK); // 50 ms at this rate
    const ULONG t1 = tickGet();
    EXPECT_GE(t1 - t0, 100UL);

    // Lowering and raising the rate never moves the count backwards.
    ULONG last = t1;
    const int rates[] = {10, 100000, 60, 1, 5000};
    for (int rate : rates) {
        EXPECT_EQ(sysClkRateSet(rate), OK);
        const ULONG now = tickGet();
        EXPECT_GE(now, last) << "rate " << rate;
        last = now;
    }
    EXPECT_EQ(sysClkRateSet(0), ERROR);
    EXPECT_EQ(sysClkRateSet(-5), ERROR);
    EXPECT_EQ(sysClkRateGet(), 5000);
    EXPECT_EQ(taskDelay(0), OK);
    EXPECT_EQ(taskDelay(-1), ERROR);

    hostsim::resetAll();
    EXPECT_EQ(sysClkRateGet(), 60);
    EXPECT_GE(tickGet(), last);
}

} // namespace
