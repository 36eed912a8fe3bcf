// plat::log: every kind of argument reaches logMsg's formatter with the value
// a cast of it would give, and what may not be an argument is refused at
// compile time.
#include "platform/hostsim/hostsim.h"
#include "platform/plat_log.h"
#include "tests/support/unit_fixture.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <string>

namespace {

using testsupport::UnitFixture;

enum Colour { k_red = -3, k_green = 7 };
enum class Small : unsigned char { big = 0xF0 };

struct Text {
    const char *p = "x";
};
using Function = int (*)();

// What may be an argument: integers up to the argument's width, enumerators,
// object pointers; not floating point, class objects, functions, long long.
static_assert(plat::k_is_log_arg<int> && plat::k_is_log_arg<const unsigned> &&
              plat::k_is_log_arg<bool> && plat::k_is_log_arg<char> && plat::k_is_log_arg<size_t> &&
              plat::k_is_log_arg<ULONG> && plat::k_is_log_arg<Colour> &&
              plat::k_is_log_arg<Small> && plat::k_is_log_arg<const char *> &&
              plat::k_is_log_arg<void *> && plat::k_is_log_arg<std::nullptr_t> &&
              plat::k_is_log_arg<Text *>);
static_assert(!plat::k_is_log_arg<double> && !plat::k_is_log_arg<float> &&
              !plat::k_is_log_arg<std::string> && !plat::k_is_log_arg<Text> &&
              !plat::k_is_log_arg<Function> && !plat::k_is_log_arg<long long> &&
              !plat::k_is_log_arg<unsigned long long>);
// A 64-bit integer fits the argument only where a pointer has 64 bits: the
// unit's build refuses it.
static_assert(plat::k_is_log_arg<uint64_t> == (sizeof(_Vx_usr_arg_t) >= sizeof(uint64_t)));
static_assert(plat::k_is_log_arg<int64_t> == (sizeof(_Vx_usr_arg_t) >= sizeof(int64_t)));

class PlatLogTest : public UnitFixture {
protected:
    // Logs one line through the helper and returns what was captured of it.
    template <typename... Args> std::string line(const char *format, Args... args) {
        hostsim::clearCapturedLog();
        const int n = plat::log(format, args...);
        const std::string text = log();
        EXPECT_EQ(n, static_cast<int>(text.size())) << format;
        return text;
    }
    // The same line through logMsg with the arguments cast by hand.
    template <typename... Args> std::string cast(const char *format, Args... args) {
        hostsim::clearCapturedLog();
        logMsg(format, (_Vx_usr_arg_t)args...);
        return log();
    }
};

TEST_F(PlatLogTest, EachKindOfArgumentKeepsItsValue) {
    const int minusFive = -5;
    const unsigned allOnes = 0xFFFFFFFFu;
    const size_t size = 250;
    const signed char minusOne = -1;
    const unsigned char twoHundred = 200;
    char buffer[8] = "buf";
    const char *none = nullptr;
    struct Case {
        std::string got, want;
    };
    const Case cases[] = {
        // A negative value keeps its sign for %d and %ld (sign-extended).
        {line("%d|%ld|%i", minusFive, minusFive, INT_MIN), "-5|-5|-2147483648"},
        {line("%ld", static_cast<long>(INT_MIN)), "-2147483648"},
        // An unsigned value is not sign-extended: %lu reads 32 bits of ones.
        {line("%u|%lu|0x%X|%x", allOnes, allOnes, allOnes, 0xBEEFu),
         "4294967295|4294967295|0xFFFFFFFF|beef"},
        {line("%d|%lu|%zu", size, size, sizeof buffer), "250|250|8"},
        {line("[%c%c]|%d|%d", 'o', 'k', minusOne, twoHundred), "[ok]|-1|200"},
        {line("%d%d", true, false), "10"},
        {line("%d|%d|0x%X", k_red, k_green, Small::big), "-3|7|0xF0"},
        // Texts: a literal, an array (its address), a null text.
        {line("'%s' '%s' '%s'", "lit", buffer, none), "'lit' 'buf' '(null)'"},
        {line("[%s]", nullptr), "[(null)]"},
        {line("%ld - (X) six %d %d %d %d %s\n", 42UL, 1, 2, 3, 4, "end"),
         "42 - (X) six 1 2 3 4 end\n"},
        {line("no arguments\n"), "no arguments\n"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(c.got, c.want);

    // A pointer passes as its address.
    char address[32];
    std::snprintf(address, sizeof address, "%p", static_cast<void *>(buffer));
    EXPECT_EQ(line("%p", static_cast<void *>(buffer)), address);
}

// The helper's conversion is the C cast the module's calls used to write:
// the same bytes for every kind, on the host and on the unit.
TEST_F(PlatLogTest, SameLineAsACastByHand) {
    const unsigned short port = 65535;
    const long minusTwo = -2;
    const char *text = "t";
    EXPECT_EQ(line("%d %u %hd %lu %ld", -7, 7u, port, ULONG_MAX, minusTwo),
              cast("%d %u %hd %lu %ld", -7, 7u, port, ULONG_MAX, minusTwo));
    EXPECT_EQ(line("%s %c %d %X", text, 'z', k_red, Small::big),
              cast("%s %c %d %X", text, 'z', static_cast<int>(k_red),
                   static_cast<unsigned char>(Small::big)));
    EXPECT_EQ(line("%ld - %X", tickGet(), 0x3d0004), cast("%ld - %X", tickGet(), 0x3d0004));
}

} // namespace
