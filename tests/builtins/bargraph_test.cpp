// Progress bargraph and "UnCompress": the step computation, the bar task's
// life (spawn, failed spawn, re-activation, deactivation) and a real
// extraction whose writer is held mid-way so the steps can be read one by one.
#include "builtins/C_BUILTINS.h"
#include "tests/builtins/builtins_hmi_support.h"
#include "tests/support/tar_builder.h"
#include "tests/support/unit_fixture.h"
#include "unit/hmi.h"

#include <chrono>
#include <climits>
#include <condition_variable>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

using hmitest::callInt;
using hostsim::EicArg;
using unit::HmiFunction;

const int k_wait_ms = 20000;

class BargraphTest : public testsupport::UnitFixture {
protected:
    void SetUp() override {
        UnitFixture::SetUp();
        ASSERT_NE(C_BUILTINS::Instance(), nullptr);
        hostsim::clearCapturedLog();
        m_tasks_before = hostsim::spawnedTasks().size();
        // 500-tick steps (and the extractor's closing pause) pass quickly.
        hostsim::setTickRate(2000);
    }
    void TearDown() override {
        // The singleton outlives the test: leave no bar task behind.
        callInt("DeactivateBargraph");
        for (int tid : barTasks())
            EXPECT_TRUE(hostsim::waitTaskEnd(tid, k_wait_ms));
        delete C_BUILTINS::GetInstance();
        UnitFixture::TearDown();
    }

    int activate(const char *text, unsigned total, unsigned start = 0) {
        return callInt("ActivateBargraph", {EicArg::Ptr(text), EicArg::Int(static_cast<int>(total)),
                                            EicArg::Int(static_cast<int>(start))});
    }

    // Tasks spawned by this test (the task table keeps earlier tests' ones).
    std::vector<hostsim::TaskInfo> tasks() const {
        std::vector<hostsim::TaskInfo> all = hostsim::spawnedTasks();
        return std::vector<hostsim::TaskInfo>(all.begin() + static_cast<long>(m_tasks_before),
                                              all.end());
    }
    std::vector<int> barTasks() const {
        std::vector<int> tids;
        for (const hostsim::TaskInfo &task : tasks())
            if (task.name == "BarGraphTask")
                tids.push_back(task.tid);
        return tids;
    }

    static size_t count(const std::string &text, const std::string &part) {
        size_t n = 0;
        for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
            n++;
        return n;
    }

    size_t m_tasks_before = 0;
};

// The extraction is held at the creation of chosen folders of the archive:
// the writer waits inside the mkdir of one (the host's mkdir function
// replaced) until the test lets it go.
class HeldExtraction {
public:
    explicit HeldExtraction(std::vector<std::string> paths) {
        Gate &g = gate();
        std::lock_guard<std::mutex> l(g.lock);
        g.paths = std::move(paths);
        g.released.assign(g.paths.size(), false);
        g.original = hostsim::fileOps().mkdir;
        hostsim::fileOps().mkdir = heldMkdir;
    }
    ~HeldExtraction() {
        Gate &g = gate();
        for (size_t i = 0; i < g.paths.size(); i++)
            release(i);
        if (m_thread.joinable())
            m_thread.join();
        hostsim::fileOps().mkdir = g.original;
    }
    void start(const char *archive, const char *dest) {
        m_thread = std::thread([this, archive, dest] {
            m_result = callInt("UnCompress", {EicArg::Ptr(archive), EicArg::Ptr(dest)});
        });
    }
    // Lets the writer create folder i.
    void release(size_t i) {
        Gate &g = gate();
        std::lock_guard<std::mutex> l(g.lock);
        g.released[i] = true;
        g.cv.notify_all();
    }
    int join() {
        m_thread.join();
        return m_result;
    }

private:
    struct Gate {
        std::mutex lock;
        std::condition_variable cv;
        std::vector<std::string> paths;
        std::vector<bool> released;
        int (*original)(const char *, int) = nullptr;
    };
    static Gate &gate() {
        static Gate g;
        return g;
    }
    static int heldMkdir(const char *hostPath, int mode) {
        Gate &g = gate();
        std::unique_lock<std::mutex> l(g.lock);
        std::string path = hostPath;
        while (path.size() > 1 && path.back() == '/')
            path.pop_back();
        for (size_t i = 0; i < g.paths.size(); i++)
            if (g.paths[i] == path)
                g.cv.wait_for(l, std::chrono::milliseconds(k_wait_ms),
                              [&] { return bool(g.released[i]); });
        auto original = g.original;
        l.unlock();
        return original(hostPath, mode);
    }

    std::thread m_thread;
    int m_result = -99;
};

// The tick count that starts the first log line holding `part`; -1 when no
// line holds it.
long tickOf(const std::string &text, const std::string &part) {
    size_t at = text.find(part);
    if (at == std::string::npos)
        return -1;
    size_t start = text.rfind('\n', at);
    return std::stol(text.substr(start == std::string::npos ? 0 : start + 1));
}

// Waits for the next recorded bargraph step after `seen`; its percentage, or
// -1 on timeout.
int nextStep(size_t &seen) {
    if (!unit::waitHmiCalls(HmiFunction::StepBargraph, seen + 1, k_wait_ms))
        return -1;
    return unit::hmiCalls(HmiFunction::StepBargraph)[seen++].values[0];
}

TEST_F(BargraphTest, StepPercentFollowsTheExample) {
    uint32_t previous = 0;
    EXPECT_EQ(C_BUILTINS::ProgressStepPercent(250, 1000, previous), 25);
    EXPECT_EQ(previous, 250u);
    EXPECT_EQ(C_BUILTINS::ProgressStepPercent(250, 1000, previous), 100);
    EXPECT_EQ(C_BUILTINS::ProgressStepPercent(500, 1000, previous), 50);
    EXPECT_EQ(previous, 500u);
    std::string text = log();
    EXPECT_NE(text.find(" - (StaticProgressBarTask): revious written bytes (0) \n"),
              std::string::npos);
    EXPECT_NE(text.find(" - (StaticProgressBarTask): revious written bytes (250) \n"),
              std::string::npos);
    EXPECT_NE(text.find(" - (StaticProgressBarTask): progression 25 '"), std::string::npos);
    EXPECT_NE(text.find(" - (StaticProgressBarTask): progression 50 '"), std::string::npos);
    EXPECT_EQ(count(text, "progression "), 2u); // the step with nothing new logs nothing
}

TEST_F(BargraphTest, StepPercentEdges) {
    uint32_t previous = 0;
    EXPECT_EQ(C_BUILTINS::ProgressStepPercent(0, 1000, previous), 0);
    // A total of 0 shows the bar full instead of an infinite share.
    EXPECT_EQ(C_BUILTINS::ProgressStepPercent(10, 0, previous), 100);
    // Beyond the total: not capped at 100, but within the int range.
    previous = 0;
    EXPECT_EQ(C_BUILTINS::ProgressStepPercent(3000, 1000, previous), 300);
    previous = 0;
    EXPECT_EQ(C_BUILTINS::ProgressStepPercent(1ULL << 40, 1, previous), INT_MAX);
    // The low 32 bits are kept.
    EXPECT_EQ(previous, 0u);
    previous = 7;
    EXPECT_EQ(C_BUILTINS::ProgressStepPercent((1ULL << 32) + 5, 1, previous), INT_MAX);
    EXPECT_EQ(previous, 5u);
}

// An HMI step that holds the bar task until the test lets it go.
SEM_ID g_step_entered = nullptr;
SEM_ID g_step_release = nullptr;
int HeldStep(_Vx_usr_arg_t, _Vx_usr_arg_t) {
    semGive(g_step_entered);
    semTake(g_step_release, 60 * sysClkRateGet());
    return 0;
}

TEST_F(BargraphTest, DeactivateWithoutTaskChangesNothing) {
    EXPECT_EQ(callInt("DeactivateBargraph"), 0);
    EXPECT_TRUE(barTasks().empty());
    EXPECT_EQ(log(), "");
}

TEST_F(BargraphTest, ActivateStartsOneTaskUntilDeactivated) {
    // The unit's rate: the task's 100-tick wait lasts 1.7 s.
    hostsim::setTickRate(60);
    ASSERT_EQ(activate("first", 1000), 0);
    EXPECT_EQ(activate("second", 2000), 0); // only replaces the text and counts
    std::vector<hostsim::TaskInfo> spawned = tasks();
    ASSERT_EQ(spawned.size(), 1u);
    EXPECT_EQ(spawned[0].name, "BarGraphTask");
    EXPECT_EQ(spawned[0].priority, 200);
    EXPECT_EQ(spawned[0].options, VX_FP_TASK);
    EXPECT_EQ(spawned[0].stackSize, 20000);
    EXPECT_EQ(taskIdVerify(spawned[0].tid), OK);

    const long stopped = static_cast<long>(tickGet());
    EXPECT_EQ(callInt("DeactivateBargraph"), 0);
    ASSERT_TRUE(hostsim::waitTaskEnd(spawned[0].tid, k_wait_ms));
    std::string text = log();
    EXPECT_NE(text.find(" - (StaticProgressBarTask): Begin\n"), std::string::npos);
    // Woken by the stop, not at the end of its 100-tick wait.
    const long ended = tickOf(text, " - (StaticProgressBarTask): End\n");
    EXPECT_GE(ended, stopped);
    EXPECT_LT(ended, stopped + 50);
    // No extraction ran: the HMI never got a step.
    EXPECT_TRUE(unit::hmiCalls(HmiFunction::StepBargraph).empty());
}

TEST_F(BargraphTest, FailedSpawnIsRetriedByTheNextActivate) {
    hostsim::failTaskSpawn("BarGraphTask");
    EXPECT_EQ(activate("bar", 1000), -1);
    std::string text = log();
    EXPECT_NE(text.find(" - (s_ActivateBargraph): NULL == m_progress_bar_task_id\n"),
              std::string::npos);
    EXPECT_EQ(text.find("StaticProgressBarTask"), std::string::npos);

    ASSERT_EQ(activate("bar", 1000), 0);
    std::vector<int> tids = barTasks();
    ASSERT_EQ(tids.size(), 1u);
    EXPECT_EQ(taskIdVerify(tids[0]), OK);
}

TEST_F(BargraphTest, ActivateRightAfterDeactivateLeavesABarRunning) {
    ASSERT_EQ(activate("archive 1", 1000), 0);
    EXPECT_EQ(callInt("DeactivateBargraph"), 0);
    ASSERT_EQ(activate("archive 2", 1000), 0);
    // The old task had ended before the new one was spawned.
    EXPECT_EQ(count(log(), "(StaticProgressBarTask): End\n"), 1u);

    std::vector<int> tids = barTasks();
    ASSERT_EQ(tids.size(), 2u);
    EXPECT_TRUE(hostsim::waitTaskEnd(tids[0], k_wait_ms));
    EXPECT_EQ(taskIdVerify(tids[1]), OK);
}

TEST_F(BargraphTest, TaskRunsWithoutTheHmiStep) {
    unit::setHmiPresent(HmiFunction::StepBargraph, false);
    ASSERT_EQ(activate("bar", 1000), 0);
    EXPECT_EQ(callInt("DeactivateBargraph"), 0);
    std::vector<int> tids = barTasks();
    ASSERT_EQ(tids.size(), 1u);
    ASSERT_TRUE(hostsim::waitTaskEnd(tids[0], k_wait_ms));
    EXPECT_NE(log().find(" - (StaticProgressBarTask): symbol 'StepBargraph__13C_MMI_UPGRADEPci' "
                         "not found\n"),
              std::string::npos);
}

TEST_F(BargraphTest, UnCompressReportsSuccessAndFailure) {
    ASSERT_TRUE(hmitest::writeTgz(mediaDir() + "/a.tgz", {{"a.txt", "alpha\n"}}));

    EXPECT_EQ(callInt("UnCompress", {EicArg::Ptr("/DVD/a.tgz"), EicArg::Ptr("/SDH/out/")}), 0);
    EXPECT_EQ(testsupport::readFile(sdDir() + "/out/a.txt"), "alpha\n");
    std::string text = log();
    EXPECT_NE(text.find(" - (s_UnCompress ('/DVD/a.tgz', '/SDH/out/')\n"), std::string::npos);
    EXPECT_NE(text.find(" - (s_UnCompress '/DVD/a.tgz'): Done.\n"), std::string::npos);
    // A clean extraction ends with one pause of 50 ticks.
    EXPECT_EQ(count(text, "(Untar): taskDelay(50)\n"), 1u);
    const long pause = tickOf(text, "(Untar): taskDelay(50)\n");
    ASSERT_GE(pause, 0);
    EXPECT_GE(tickOf(text, "(Untar): End Untar"), pause + 50);

    hostsim::clearCapturedLog();
    EXPECT_EQ(callInt("UnCompress", {EicArg::Ptr("/DVD/none.tgz"), EicArg::Ptr("/SDH/out/")}), -1);
    EXPECT_NE(log().find(" - (s_UnCompress '/DVD/none.tgz'): ERROR.\n"), std::string::npos);
}

TEST_F(BargraphTest, StepsFollowAHeldExtraction) {
    std::string a(250, 'a'), b(250, 'b'), c(250, 'c');
    testsupport::TarBuilder tar;
    tar.file("a.bin", a).dir("hold0/").file("b.bin", b).dir("hold1/").file("c.bin", c);
    ASSERT_TRUE(testsupport::writeFile(mediaDir() + "/abc.tgz", testsupport::gzip(tar.finish())));
    ASSERT_TRUE(testsupport::writeFile(sdDir() + "/out/a.bin", ""));
    HeldExtraction held({sdDir() + "/out/hold0", sdDir() + "/out/hold1"});

    std::string text(300, 'x');
    for (size_t i = 0; i < text.size(); i++)
        text[i] = static_cast<char>('A' + i % 26);
    ASSERT_EQ(activate(text.c_str(), 1000), 0);
    held.start("/DVD/abc.tgz", "/SDH/out/");

    // Held before b.bin with 250 bytes written: 25, then 100 while nothing
    // moves.
    size_t seen = 0;
    int step = nextStep(seen);
    while (step == 0)
        step = nextStep(seen);
    EXPECT_EQ(step, 25);
    EXPECT_EQ(nextStep(seen), 100);

    // Held before c.bin with 500 written: 50.
    held.release(0);
    step = nextStep(seen);
    while (step == 100)
        step = nextStep(seen);
    EXPECT_EQ(step, 50);

    held.release(1);
    EXPECT_EQ(held.join(), 0);
    EXPECT_EQ(callInt("DeactivateBargraph"), 0);
    EXPECT_EQ(testsupport::readFile(sdDir() + "/out/b.bin"), b);
    EXPECT_EQ(testsupport::readFile(sdDir() + "/out/c.bin"), c);
    EXPECT_EQ(testsupport::readFile(sdDir() + "/out/a.bin"), a);

    // The first step comes 500 ticks after the task began, each next one 500
    // ticks after the one before.
    long previous = tickOf(log(), "(StaticProgressBarTask): Begin\n");
    ASSERT_GE(previous, 0);
    for (const unit::HmiCall &call : unit::hmiCalls(HmiFunction::StepBargraph)) {
        EXPECT_EQ(call.text, text.substr(0, 254));
        EXPECT_GE(static_cast<long>(call.tick), previous + 500);
        previous = static_cast<long>(call.tick);
    }
}

TEST_F(BargraphTest, ActivateWaitsForATaskStillInItsPause) {
    std::string a(250, 'a'), b(250, 'b');
    testsupport::TarBuilder tar;
    tar.file("a.bin", a).dir("hold0/").file("b.bin", b);
    ASSERT_TRUE(testsupport::writeFile(mediaDir() + "/ab.tgz", testsupport::gzip(tar.finish())));
    ASSERT_TRUE(testsupport::writeFile(sdDir() + "/out/a.bin", ""));
    HeldExtraction held({sdDir() + "/out/hold0"});

    ASSERT_EQ(activate("archive 1", 1000), 0);
    held.start("/DVD/ab.tgz", "/SDH/out/");
    size_t seen = 0;
    ASSERT_NE(nextStep(seen), -1); // the task has made a step and pauses now

    EXPECT_EQ(callInt("DeactivateBargraph"), 0);
    ASSERT_EQ(activate("archive 2", 1000), 0);
    EXPECT_EQ(count(log(), "(StaticProgressBarTask): End\n"), 1u);
    ASSERT_EQ(barTasks().size(), 2u);

    // The fresh task goes on with the new text.
    ASSERT_NE(nextStep(seen), -1);
    EXPECT_EQ(unit::hmiCalls(HmiFunction::StepBargraph).back().text, "archive 2");
    held.release(0);
    EXPECT_EQ(held.join(), 0);
}

// A bar task that does not end after the wait (held in the HMI's step) does
// not fail "ActivateBargraph": it returns 0, says that this archive runs
// without a bar and spawns nothing; the old task, told to stop, ends by
// itself, and the next "ActivateBargraph" starts a bar again.
TEST_F(BargraphTest, ActivateBesideATaskThatDoesNotEndRunsWithoutABar) {
    std::string a(250, 'a'), b(250, 'b');
    testsupport::TarBuilder tar;
    tar.file("a.bin", a).dir("hold0/").file("b.bin", b);
    ASSERT_TRUE(testsupport::writeFile(mediaDir() + "/ab.tgz", testsupport::gzip(tar.finish())));
    ASSERT_TRUE(testsupport::writeFile(sdDir() + "/out/a.bin", ""));
    HeldExtraction held({sdDir() + "/out/hold0"});
    g_step_entered = semBCreate(SEM_Q_FIFO, SEM_EMPTY);
    g_step_release = semBCreate(SEM_Q_FIFO, SEM_EMPTY);
    ASSERT_EQ(symAdd(sysSymTbl, "StepBargraph__13C_MMI_UPGRADEPci",
                     reinterpret_cast<char *>(&HeldStep), SYM_GLOBAL, 0),
              OK);

    ASSERT_EQ(activate("archive 1", 1000), 0);
    held.start("/DVD/ab.tgz", "/SDH/out/");
    ASSERT_EQ(semTake(g_step_entered, 60 * sysClkRateGet()), OK);

    EXPECT_EQ(callInt("DeactivateBargraph"), 0);
    EXPECT_EQ(activate("archive 2", 1000), 0);
    EXPECT_NE(log().find(" - (s_ActivateBargraph): previous BarGraphTask did not end: this "
                         "archive runs without a bar\n"),
              std::string::npos)
        << log();
    std::vector<int> tids = barTasks();
    ASSERT_EQ(tids.size(), 1u);

    semGive(g_step_release);
    ASSERT_TRUE(hostsim::waitTaskEnd(tids[0], k_wait_ms));
    EXPECT_EQ(barTasks().size(), 1u);
    EXPECT_EQ(activate("archive 3", 1000), 0);
    ASSERT_EQ(barTasks().size(), 2u);
    EXPECT_EQ(taskIdVerify(barTasks()[1]), OK);

    held.release(0);
    EXPECT_EQ(held.join(), 0);
    callInt("DeactivateBargraph");
    EXPECT_TRUE(hostsim::waitTaskEnd(barTasks()[1], k_wait_ms));
    semDelete(g_step_entered);
    semDelete(g_step_release);
}

} // namespace
