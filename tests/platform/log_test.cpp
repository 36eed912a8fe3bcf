// logMsg's formatter and the log sinks of the host platform.
#include "platform/hostsim/hostsim.h"
#include "platform/vxworks.h"
#include "tests/support/unit_fixture.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <limits>
#include <string>

namespace {

using testsupport::UnitFixture;

class LogTest : public UnitFixture {
protected:
    // Logs one line and returns exactly what was captured for it.
    std::string fmt(const char *format, _Vx_usr_arg_t a1 = 0, _Vx_usr_arg_t a2 = 0,
                    _Vx_usr_arg_t a3 = 0, _Vx_usr_arg_t a4 = 0, _Vx_usr_arg_t a5 = 0,
                    _Vx_usr_arg_t a6 = 0) {
        hostsim::clearCapturedLog();
        const int n = logMsg(format, a1, a2, a3, a4, a5, a6);
        const std::string text = log();
        EXPECT_EQ(n, static_cast<int>(text.size())) << format;
        return text;
    }
};

_Vx_usr_arg_t P(const void *p) {
    return reinterpret_cast<_Vx_usr_arg_t>(p);
}

TEST_F(LogTest, ConversionsTakeTheTypeTheyName) {
    EXPECT_EQ(fmt("%ld - (Untar): taskDelay(50)\n", 1234), "1234 - (Untar): taskDelay(50)\n");
    EXPECT_EQ(fmt("[%s]", 0), "[(null)]");
    EXPECT_EQ(fmt("[%s|%s]", P("abc"), P("")), "[abc|]");
    EXPECT_EQ(fmt("%d", -5), "-5");
    EXPECT_EQ(fmt("%i", -2147483647 - 1), "-2147483648");
    // %d reads an int: on a 64-bit host the upper half of the pointer-sized
    // argument is ignored. %ld and %lld read the whole argument (32 bits on
    // the unit).
    EXPECT_EQ(fmt("%d", static_cast<_Vx_usr_arg_t>(0x100000007LL)), "7");
    EXPECT_EQ(fmt("%ld", static_cast<_Vx_usr_arg_t>(LONG_MIN)), std::to_string(LONG_MIN));
    const _Vx_usr_arg_t argMin = std::numeric_limits<_Vx_usr_arg_t>::min();
    EXPECT_EQ(fmt("%lld", argMin), std::to_string(static_cast<long long>(argMin)));
    EXPECT_EQ(fmt("%u", -1), "4294967295");
    EXPECT_EQ(fmt("errno = 0x%X", 0x3d0004), "errno = 0x3D0004");
    EXPECT_EQ(fmt("%x/%08x/%#o", 255, 0xbeef, 8), "ff/0000beef/010");
    EXPECT_EQ(fmt("%hd|%hhu", 70000, 257), "4464|1");
    EXPECT_EQ(fmt("%c%c", 'o', 'k'), "ok");
    EXPECT_EQ(fmt("[%5s][%-4d][%.2s][%+d]", P("ab"), 7, P("xyz"), 3), "[   ab][7   ][xy][+3]");
    EXPECT_EQ(fmt("[%*d][%.*s]", 4, 9, 1, P("qrs")), "[   9][q]");
    EXPECT_EQ(fmt("100%%"), "100%");
    EXPECT_FALSE(fmt("%p", P(this)).empty());
}

// Every length modifier cuts the argument to the type it names, for signed and
// unsigned conversions alike; %c, %s and %p ignore it.
TEST_F(LogTest, LengthModifiersTakeTheirOwnWidth) {
    const _Vx_usr_arg_t minusOne = -1;
    EXPECT_EQ(fmt("%hhd|%hd|%d", 0x1ff, 0x1ffff, minusOne), "-1|-1|-1");
    EXPECT_EQ(fmt("%hhx|%hx|%x", minusOne, minusOne, minusOne), "ff|ffff|ffffffff");
    EXPECT_EQ(fmt("%lu|%llu|%zu|%ju|%tu", minusOne, minusOne, minusOne, minusOne, minusOne),
              std::to_string(static_cast<unsigned long>(minusOne)) + "|" +
                  std::to_string(static_cast<unsigned long long>(minusOne)) + "|" +
                  std::to_string(static_cast<size_t>(minusOne)) + "|" +
                  std::to_string(static_cast<uintmax_t>(minusOne)) + "|" +
                  std::to_string(static_cast<size_t>(minusOne)));
    EXPECT_EQ(fmt("%ld|%lld|%zd|%jd|%ti", minusOne, minusOne, minusOne, minusOne, minusOne),
              "-1|-1|-1|-1|-1");
    EXPECT_EQ(fmt("%lo|%llX", 8, 0xabc), "10|ABC");
    EXPECT_EQ(fmt("%lc%hhs", 'k', P("ok")), "kok");
}

// A star takes its number from the arguments, before the value: a negative
// width left-justifies, a negative precision is none at all.
TEST_F(LogTest, StarWidthAndPrecisionTakeArguments) {
    EXPECT_EQ(fmt("[%*d]", -4, 7), "[7   ]");
    EXPECT_EQ(fmt("[%.*s]", -1, P("abc")), "[abc]");
    EXPECT_EQ(fmt("[%*.*s]", 5, 2, P("abc")), "[   ab]");
#if INTPTR_MAX > INT_MAX
    // Far below the int range: still negative, never cut to some width.
    const _Vx_usr_arg_t farBelow = static_cast<_Vx_usr_arg_t>(INT_MIN) * 2 + 3;
    EXPECT_EQ(fmt("[%.*s]", farBelow, P("abcdef")), "[abcdef]");
    EXPECT_EQ(fmt("[%*d]", farBelow, 1).size(), 1002u);
#endif
}

TEST_F(LogTest, UnknownIncompleteAndSurplusConversionsStayLiteral) {
    EXPECT_EQ(fmt("'%'\n"), "'%'\n");
    EXPECT_EQ(fmt("50%"), "50%");
    EXPECT_EQ(fmt("%q%d", 3), "%q3");
    EXPECT_EQ(fmt("%f", 1), "%f");
    // Never more than six arguments are read.
    EXPECT_EQ(fmt("%d %d %d %d %d %d %d %s", 1, 2, 3, 4, 5, 6), "1 2 3 4 5 6 %d %s");
    // A star that would need a seventh argument leaves its conversion as text.
    EXPECT_EQ(fmt("%d%d%d%d%d%*d", 1, 2, 3, 4, 5, 6), "12345%*d");
}

TEST_F(LogTest, LongLinesAreCutAndHugeFieldsBounded) {
    const std::string big(5000, 'x');
    const std::string out = fmt("%s%s", P(big.c_str()), P(big.c_str()));
    EXPECT_GT(out.size(), 1000u);
    EXPECT_LT(out.size(), 4096u);
    EXPECT_EQ(out.find_first_not_of('x'), std::string::npos);
    const std::string wide = fmt("%999999999d|", 1);
    EXPECT_LE(wide.size(), 1002u);
    EXPECT_EQ(wide.back(), '|');
}

TEST_F(LogTest, LogMsgKeepsErrnoAndSourcesAreSeparated) {
    errnoSet(EACCES);
    logMsg("%s\n", P("one"));
    EXPECT_EQ(errnoGet(), EACCES);
    hostsim::emitLog(hostsim::LogSource::SysTool, "tool line\n");
    hostsim::emitLog(hostsim::LogSource::SysTool, nullptr);
    EXPECT_EQ(log(), "one\n");
    EXPECT_EQ(hostsim::capturedText(hostsim::LogSource::SysTool), "tool line\n");
    const std::vector<hostsim::LogLine> lines = hostsim::capturedLog();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1].source, hostsim::LogSource::SysTool);

    hostsim::captureLog(false);
    logMsg("not captured\n");
    EXPECT_EQ(log(), "one\n");
    hostsim::captureLog(true); // restarts empty
    EXPECT_EQ(log(), "");
}

TEST_F(LogTest, FileSinkAppendsLines) {
    const std::string path = root() + "/log.txt";
    ASSERT_TRUE(hostsim::logToFile(path));
    logMsg("%d apples\n", 3);
    hostsim::emitLog(hostsim::LogSource::SysTool, "sys\n");
    ASSERT_TRUE(hostsim::logToFile(""));
    logMsg("after close\n");
    EXPECT_EQ(testsupport::readFile(path), "3 apples\nsys\n");
    EXPECT_FALSE(hostsim::logToFile(root() + "/missing/dir/log.txt"));
}

int loggingTask(_Vx_usr_arg_t id) {
    for (int i = 0; i < 100; ++i)
        logMsg("task %d line %d\n", static_cast<_Vx_usr_arg_t>(id), i);
    return 0;
}

TEST_F(LogTest, ConcurrentTasksLoseNoLine) {
    int tids[4];
    for (int t = 0; t < 4; ++t) {
        tids[t] = taskSpawn("Logger", 100, 0, 8192, reinterpret_cast<FUNCPTR>(loggingTask), t);
        ASSERT_GT(tids[t], 0);
    }
    ASSERT_TRUE(hostsim::waitAllTasks(10000));
    const std::vector<hostsim::LogLine> lines = hostsim::capturedLog();
    EXPECT_EQ(lines.size(), 400u);
    for (const hostsim::LogLine &l : lines)
        EXPECT_EQ(l.text.compare(0, 5, "task "), 0) << l.text;
}

} // namespace
