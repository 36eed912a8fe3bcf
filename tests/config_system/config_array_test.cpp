// Configuration array: head insertion, the copy that restores order, duplicate
// keys, removal at both ends, and failures that leave everything untouched.
#include "tests/config_system/config_fixture.h"

#include <cstring>

using configtest::pairs;
using Strings = std::vector<std::string>;

namespace {

class ConfigArrayTest : public configtest::ConfigFixture {
protected:
    void TearDown() override {
        ConfigArrayDestroy(&m_list);
        ConfigArrayDestroy(&m_other);
        ConfigFixture::TearDown();
    }
    ConfigElement *m_list = nullptr;
    ConfigElement *m_other = nullptr;
};

TEST_F(ConfigArrayTest, InsertsAtHeadAndCopyRestoresInsertionOrder) {
    ASSERT_EQ(0, ConfigArrayAdd(&m_list, "A", "1"));
    ASSERT_EQ(0, ConfigArrayAdd(&m_list, "B", "2"));
    ASSERT_EQ(0, ConfigArrayAdd(&m_list, "C", "3"));
    EXPECT_EQ((Strings{"C=3", "B=2", "A=1"}), pairs(m_list));

    testing::internal::CaptureStdout();
    EXPECT_EQ(0, ConfigArrayDisplay(&m_list));
    std::fflush(stdout);
    EXPECT_EQ("\n   module:[C] \t data:[3]\n   module:[B] \t data:[2]\n   module:[A] \t data:[1]",
              testing::internal::GetCapturedStdout());

    // The destination's former content is replaced.
    ASSERT_EQ(0, ConfigArrayAdd(&m_other, "old", "x"));
    EXPECT_EQ(0, ConfigArrayCopy(&m_other, &m_list));
    EXPECT_EQ((Strings{"A=1", "B=2", "C=3"}), pairs(m_other));
    EXPECT_EQ((Strings{"C=3", "B=2", "A=1"}), pairs(m_list));
}

TEST_F(ConfigArrayTest, CopyOfEmptyArrayFailsAndEmptiesDestination) {
    ASSERT_EQ(0, ConfigArrayAdd(&m_other, "old", "x"));
    EXPECT_EQ(-1, ConfigArrayCopy(&m_other, &m_list));
    EXPECT_EQ(nullptr, m_other);
}

// Destinations that share a node with the source would free it before it is
// read: refused, both left as they were.
TEST_F(ConfigArrayTest, CopyOntoAnAliasOfTheSourceIsRefused) {
    for (const char *key : {"A", "B", "C"})
        ASSERT_EQ(0, ConfigArrayAdd(&m_list, key, "v"));
    ConfigElement *sameList = m_list;
    ConfigElement *tail = m_list->next;
    ConfigElement *const *src = &m_list;
    const struct {
        const char *what;
        ConfigElement **dest;
        ConfigElement *const *src;
    } cases[] = {
        {"the same head pointer", &m_list, src},
        {"another head pointer onto the list", &sameList, src},
        {"a head pointer onto its tail", &tail, src},
        {"the source onto its own tail", &m_list, &tail},
        {"a link field inside the source", &m_list->next, src},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        hostsim::clearCapturedLog();
        EXPECT_EQ(-1, ConfigArrayCopy(c.dest, c.src));
        EXPECT_EQ("ERROR - ConfigSystemCopy : destination shares the source\n", log());
        EXPECT_EQ((Strings{"C=v", "B=v", "A=v"}), pairs(m_list));
    }
}

TEST_F(ConfigArrayTest, DuplicateKeysResolveToTheLastAdded) {
    ASSERT_EQ(0, ConfigArrayAdd(&m_list, "K", "old"));
    ASSERT_EQ(0, ConfigArrayAdd(&m_list, "Z", "z"));
    ASSERT_EQ(0, ConfigArrayAdd(&m_list, "K", "new"));
    char buffer[21] = {0};
    const char *text = nullptr;
    EXPECT_EQ(0, ConfigArraySearch(&m_list, "K", buffer));
    EXPECT_STREQ("new", buffer);
    EXPECT_EQ(0, ConfigArrayGet(&m_list, "K", &text));
    EXPECT_STREQ("new", text);

    EXPECT_EQ(0, ConfigArrayRemove(&m_list, "K"));
    EXPECT_EQ((Strings{"Z=z", "K=old"}), pairs(m_list));
    EXPECT_EQ(0, ConfigArraySearch(&m_list, "K", buffer));
    EXPECT_STREQ("old", buffer);
    EXPECT_NE(std::string::npos, log().find("ConfigSystemSearch : MODULE:[K] - DATA:[old]\n"));
    EXPECT_NE(std::string::npos, log().find("ConfigArrayGet : MODULE:[K] - DATA:[new]\n"));
}

TEST_F(ConfigArrayTest, RemovesHeadAndLastNode) {
    for (const char *key : {"A", "B", "C"})
        ASSERT_EQ(0, ConfigArrayAdd(&m_list, key, "v"));
    EXPECT_EQ(0, ConfigArrayRemove(&m_list, "C")); // the head
    EXPECT_EQ((Strings{"B=v", "A=v"}), pairs(m_list));
    EXPECT_EQ(0, ConfigArrayRemove(&m_list, "A")); // the last node
    EXPECT_EQ((Strings{"B=v"}), pairs(m_list));
    EXPECT_EQ(0, ConfigArrayRemove(&m_list, "B"));
    EXPECT_EQ(nullptr, m_list);
    EXPECT_EQ(-1, ConfigArrayRemove(&m_list, "B"));
    EXPECT_NE(std::string::npos, log().find("ERROR - ConfigSystemRemove : [B] not found\n"));
}

// The failures, run at both debug levels: same results, and logged only above 0.
TEST_F(ConfigArrayTest, FailuresChangeNothingAtAnyDebugLevel) {
    for (int level : {1, 0}) {
        SCOPED_TRACE(level);
        debug_br = level;
        hostsim::clearCapturedLog();
        ConfigArrayDestroy(&m_list);
        ASSERT_EQ(0, ConfigArrayAdd(&m_list, "A", "1"));

        EXPECT_EQ(-1, ConfigArrayAdd(&m_list, "B", nullptr));
        EXPECT_EQ(-1, ConfigArrayAdd(&m_list, nullptr, "2"));
        EXPECT_EQ(-1, ConfigArrayAdd(nullptr, "B", "2"));
        EXPECT_EQ((Strings{"A=1"}), pairs(m_list));

        char buffer[21] = "untouched";
        const char *text = "untouched";
        EXPECT_EQ(-1, ConfigArraySearch(&m_list, "B", buffer));
        EXPECT_STREQ("untouched", buffer);
        EXPECT_EQ(-1, ConfigArrayGet(&m_list, "B", &text));
        EXPECT_STREQ("untouched", text);
        EXPECT_EQ(-1, ConfigArraySearch(nullptr, "A", buffer));
        EXPECT_EQ(-1, ConfigArrayGet(&m_list, nullptr, &text));
        EXPECT_EQ(-1, ConfigArrayRemove(&m_list, nullptr));
        EXPECT_EQ(-1, ConfigArrayDestroy(nullptr));
        EXPECT_EQ(-1, ConfigArrayCopy(nullptr, &m_list));
        EXPECT_EQ(-1, ConfigArrayCopy(&m_other, nullptr));
        EXPECT_EQ(-1, ConfigArrayDisplay(nullptr));
        EXPECT_EQ((Strings{"A=1"}), pairs(m_list));

        EXPECT_EQ(0, ConfigArrayDestroy(&m_list));
        EXPECT_EQ(0, ConfigArrayDestroy(&m_list));
        EXPECT_EQ(nullptr, m_list);

        if (level > 0) {
            EXPECT_EQ("ERROR - ConfigSystemAdd : null param\n"
                      "ERROR - ConfigSystemAdd : null param\n"
                      "ERROR - ConfigSystemAdd : null param\n"
                      "ERROR - ConfigSystemSearch : [B] not found\n"
                      "ERROR - ConfigArrayGet : [B] not found\n"
                      "ERROR - ConfigSystemSearch : null param\n"
                      "ERROR - ConfigArrayGet : null param\n"
                      "ERROR - ConfigSystemRemove : null param\n"
                      "ERROR - ConfigSystemDestroy : null param\n"
                      "ERROR - ConfigSystemCopy : null param\n"
                      "ERROR - ConfigSystemCopy : null param\n"
                      "ERROR - ConfigSystemDisplay : null param\n",
                      log());
        } else {
            EXPECT_EQ("", log());
        }
    }
}

} // namespace
