// Reading a module line back by its format: the arguments of a line come back
// whole (a string may hold the texts that follow it), numbers must read as
// numbers, and a line another format wrote is not taken.
#include "tools/hostkit/logline.h"

#include <gtest/gtest.h>

namespace {

TEST(LogLine, ReadsTheArgumentsOfItsOwnFormat) {
    const char *const format = "%ld - (X)  %s ('%s') = '%s' 'Q%s-%s'  \n";
    std::vector<std::string> a;
    // The name holds the texts that follow it: the longest reading keeps it.
    ASSERT_TRUE(hostkit::readLogLine("12 - (X)  Get ('ITA') = 'It' 'Qa' 'Q1-2024'", format, &a));
    EXPECT_EQ(a, (std::vector<std::string>{"12", "Get", "ITA", "It' 'Qa", "1", "2024"}));
    // The capture's trimmed line and the format's own line end agree.
    EXPECT_TRUE(hostkit::readLogLine("7 - (X)  G ('') = '' 'Q-'  \n", format, &a));
    EXPECT_EQ(a[2], "");
}

TEST(LogLine, TakesNoLineOfAnotherFormat) {
    const char *const format = "%ld - %s(), new version (%d) < old version (%d)\n";
    EXPECT_TRUE(hostkit::readLogLine("5 - F(), new version (-2) < old version (0)", format));
    // A number that is not one, a missing tail, a prefix instead of the tick.
    EXPECT_FALSE(hostkit::readLogLine("5 - F(), new version (x y) < old version (0)", format));
    EXPECT_FALSE(hostkit::readLogLine("5 - F(), new version (1)", format));
    EXPECT_FALSE(hostkit::readLogLine("boot: 5 - F(), new version (1) < old version (0)", format));
    // A format without conversions is found anywhere in the line; "%%" is '%'.
    EXPECT_TRUE(hostkit::readLogLine("x UpgradeType = NONE y", " UpgradeType = NONE \n"));
    std::vector<std::string> a;
    EXPECT_TRUE(hostkit::readLogLine("at 50% of a", "at %d%% of %s", &a));
    EXPECT_EQ(a, (std::vector<std::string>{"50", "a"}));
}

// A format read before is known by its text, not its address: other text
// at the same address is another format.
TEST(LogLine, AFormatIsReadByItsTextWhereverItLies) {
    char format[] = "%ld - (A) %s\n";
    EXPECT_TRUE(hostkit::readLogLine("1 - (A) x", format));
    EXPECT_FALSE(hostkit::readLogLine("1 - (B) x", format));
    format[7] = 'B';
    EXPECT_TRUE(hostkit::readLogLine("1 - (B) x", format));
    EXPECT_FALSE(hostkit::readLogLine("1 - (A) x", format));
}

} // namespace
