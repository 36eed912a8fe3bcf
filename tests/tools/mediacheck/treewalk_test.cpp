// The shared tree walk: every entry once with its path relative to the root,
// links met but not followed, folders skipped and walks stopped on request,
// and a folder that cannot be opened reported as an incomplete walk, also
// by the card snapshots built on it (never taken for the whole tree).
#include "tests/support/unit_fixture.h"
#include "tools/mediacheck/mediacheck.h"
#include "tools/mediacheck/treewalk.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

using namespace testsupport;
using mediacheck::TreeItem;
using mediacheck::Walk;

namespace {

namespace fs = std::filesystem;

// Lowers this process's limit of open descriptors to a few above those open
// now while the object lives: a walk then cannot open its deeper folders,
// as happens to any user (root too) when descriptors run out.
class FewDescriptors {
public:
    FewDescriptors() {
        getrlimit(RLIMIT_NOFILE, &m_old);
        std::set<long> open;
        for (const auto &e : fs::directory_iterator("/proc/self/fd"))
            open.insert(std::atol(e.path().filename().c_str()));
        // New descriptors take the lowest free numbers: leave three of
        // them below the limit.
        long limit = 0;
        for (int free = 0; free < 3; ++limit)
            if (open.count(limit) == 0)
                ++free;
        struct rlimit low = m_old;
        low.rlim_cur = static_cast<rlim_t>(limit);
        m_lowered = setrlimit(RLIMIT_NOFILE, &low) == 0;
    }
    ~FewDescriptors() { setrlimit(RLIMIT_NOFILE, &m_old); }
    FewDescriptors(const FewDescriptors &) = delete;
    FewDescriptors &operator=(const FewDescriptors &) = delete;
    bool lowered() const { return m_lowered; }

private:
    struct rlimit m_old = {};
    bool m_lowered = false;
};

class TreeWalk : public ::testing::Test {
protected:
    void SetUp() override { m_root = makeTempDir("walk"); }
    void TearDown() override { removeTree(m_root); }

    // The relative paths the walk gives, and its result.
    std::set<std::string> walk(const std::string &root, bool &complete,
                               const std::function<Walk(const TreeItem &)> &decide = nullptr) {
        std::set<std::string> met;
        complete = mediacheck::walkTree(root, [&](const TreeItem &item) {
            EXPECT_TRUE(met.insert(item.rel).second) << item.rel << " met twice";
            return decide ? decide(item) : Walk::Continue;
        });
        return met;
    }

    std::string m_root;
};

TEST_F(TreeWalk, MeetsEveryEntryOnceWithItsRelativePath) {
    ASSERT_TRUE(writeFile(m_root + "/t/MAPPE/FRA/a.dat", "a"));
    ASSERT_TRUE(writeFile(m_root + "/t/top.txt", "t"));
    ASSERT_EQ(mkdir((m_root + "/t/MAPPE/empty").c_str(), 0755), 0);
    ASSERT_EQ(symlink((m_root + "/t/MAPPE").c_str(), (m_root + "/t/link").c_str()), 0);
    const std::set<std::string> expected = {"MAPPE",       "MAPPE/FRA", "MAPPE/FRA/a.dat",
                                            "MAPPE/empty", "top.txt",   "link"};
    // The root as given, with a final '/', and with a "." in it.
    for (const std::string &root : {m_root + "/t", m_root + "/t/", m_root + "/./t"}) {
        bool complete = false;
        EXPECT_EQ(walk(root, complete), expected) << root;
        EXPECT_TRUE(complete) << root;
    }
}

TEST_F(TreeWalk, SkipsAFolderOrStopsWhenAsked) {
    ASSERT_TRUE(writeFile(m_root + "/t/a/inside.dat", "i"));
    ASSERT_TRUE(writeFile(m_root + "/t/b.dat", "b"));
    bool complete = false;
    const auto skipped = walk(m_root + "/t", complete, [](const TreeItem &item) {
        return item.rel == "a" ? Walk::SkipFolder : Walk::Continue;
    });
    EXPECT_EQ(skipped, (std::set<std::string>{"a", "b.dat"}));
    EXPECT_TRUE(complete);

    const auto stopped = walk(m_root + "/t", complete, [](const TreeItem &) { return Walk::Stop; });
    EXPECT_EQ(stopped.size(), 1u);
    EXPECT_FALSE(complete);
}

TEST_F(TreeWalk, AFolderThatCannotBeReadMakesTheWalkIncomplete) {
    bool complete = true;
    EXPECT_TRUE(walk(m_root + "/missing", complete).empty());
    EXPECT_FALSE(complete);

    // Folders only: the snapshot reads no file, so only the walk can tell
    // that it did not reach them all.
    std::string deep = m_root + "/t";
    for (int i = 0; i < 30; ++i)
        deep += "/f" + std::to_string(i);
    ASSERT_TRUE(fs::create_directories(deep));
    mediacheck::TreeSnapshot snapshot;
    bool lowered = false, snapshotWhole = true;
    complete = true;
    {
        // Results are looked at once the limit is gone: gtest needs
        // descriptors to report.
        FewDescriptors few;
        lowered = few.lowered();
        walk(m_root + "/t", complete);
        snapshotWhole = mediacheck::snapshotTree(m_root + "/t", snapshot);
    }
    ASSERT_TRUE(lowered);
    EXPECT_FALSE(complete);
    EXPECT_FALSE(snapshotWhole);

    walk(m_root + "/t", complete);
    EXPECT_TRUE(complete);
    EXPECT_TRUE(mediacheck::snapshotTree(m_root + "/t", snapshot));
}

} // namespace
