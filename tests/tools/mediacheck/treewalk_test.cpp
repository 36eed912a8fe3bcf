// The shared tree walk: every entry once with its path relative to the root,
// links met but not followed, folders skipped and walks stopped on request,
// and a folder that cannot be opened reported as an incomplete walk, also
// by the card snapshots built on it (never taken for the whole tree).
#include "tests/support/unit_fixture.h"
#include "tools/mediacheck/mediacheck.h"
#include "tools/mediacheck/treewalk.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <malloc.h>
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

// Bytes the C library's allocator hands out now (0 under a sanitizer's
// allocator, which it does not see).
size_t heapInUse() {
    return mallinfo2().uordblks;
}

// A chain of `depth` folders named `name` under `root`, made and removed
// through descriptors, so that it may reach paths longer than the system
// takes; `file` is written in the deepest one.
class FolderChain {
public:
    FolderChain(const std::string &root, const std::string &name, int depth) : m_name(name) {
        int fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY);
        for (int i = 0; i < depth && fd >= 0; ++i) {
            m_fds.push_back(fd);
            mkdirat(fd, name.c_str(), 0755);
            fd = openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY);
        }
        if (fd >= 0) {
            const int file = openat(fd, "file", O_WRONLY | O_CREAT, 0644);
            m_made = file >= 0 && close(file) == 0;
            m_fds.push_back(fd);
        }
    }
    ~FolderChain() {
        for (size_t i = m_fds.size(); i-- > 0;) {
            unlinkat(m_fds[i], i + 1 == m_fds.size() ? "file" : m_name.c_str(),
                     i + 1 == m_fds.size() ? 0 : AT_REMOVEDIR);
            close(m_fds[i]);
        }
    }
    FolderChain(const FolderChain &) = delete;
    FolderChain &operator=(const FolderChain &) = delete;
    bool made() const { return m_made; }

private:
    std::string m_name;
    std::vector<int> m_fds; // the root, then each folder of the chain
    bool m_made = false;
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

// Each open folder holds only its descriptor and its names: at the bottom
// of a folder 200 deep the walk holds kilobytes. (A walk that keeps a whole
// path per open folder holds megabytes there, and half a gigabyte at 3000.)
TEST_F(TreeWalk, ADeepFolderIsWalkedInMemoryLinearInItsDepth) {
    std::string deep = m_root + "/t";
    for (int i = 0; i < 200; ++i)
        deep += "/d";
    ASSERT_TRUE(fs::create_directories(deep));
    const size_t before = heapInUse();
    size_t most = before, depth = 0;
    bool complete = false;
    walk(m_root + "/t", complete, [&](const TreeItem &item) {
        most = std::max(most, heapInUse());
        depth = std::max(depth, item.rel.size() / 2 + 1);
        return Walk::Continue;
    });
    EXPECT_TRUE(complete);
    EXPECT_EQ(depth, 200u);
    EXPECT_LT(most - before, 1u << 20) << "bytes held at the bottom";
}

// Callers reach entries by their paths: an entry whose path the system
// refuses ends the walk incomplete instead of being skipped unnoticed.
TEST_F(TreeWalk, AnEntryPastTheLongestPathMakesTheWalkIncomplete) {
    ASSERT_EQ(mkdir((m_root + "/t").c_str(), 0755), 0);
    // 20 folders of 250 characters: 5000 characters to the file.
    FolderChain chain(m_root + "/t", std::string(250, 'n'), 20);
    ASSERT_TRUE(chain.made());
    bool complete = true;
    const auto met = walk(m_root + "/t", complete);
    EXPECT_FALSE(complete);
    EXPECT_GE(met.size(), 10u);
    mediacheck::TreeSnapshot snapshot;
    EXPECT_FALSE(mediacheck::snapshotTree(m_root + "/t", snapshot));
}

// Spellings as the checker reports them, each folder listed once however
// many of its files are looked up (a descriptor names every file of a
// folder: a listing per lookup made a check of N countries list "MAPPE/" N
// times over).
TEST_F(TreeWalk, PathSpellingsListEachFolderOnce) {
    for (int i = 0; i < 40; ++i)
        ASSERT_TRUE(writeFile(m_root + "/t/MAPPE/f" + std::to_string(i) + ".dat", "f"));
    ASSERT_TRUE(writeFile(m_root + "/t/MAPPE/Mixed.TGZ", "m"));
    ASSERT_TRUE(writeFile(m_root + "/t/MAPPE/both.dat", "b"));
    ASSERT_TRUE(writeFile(m_root + "/t/MAPPE/BOTH.dat", "B"));
    mediacheck::FolderNames names(m_root + "/t");
    std::string actual;
    for (int i = 0; i < 40; ++i)
        ASSERT_EQ(names.find("./MAPPE//f" + std::to_string(i) + ".dat", actual),
                  mediacheck::Spelling::Exact);
    EXPECT_EQ(actual, "MAPPE/f39.dat");
    struct Case {
        const char *rel;
        mediacheck::Spelling spelling;
        const char *actual;
    } const cases[] = {
        {"mappe/mixed.tgz", mediacheck::Spelling::CaseOnly, "MAPPE/Mixed.TGZ"},
        {"MAPPE/both.dat", mediacheck::Spelling::Exact, "MAPPE/both.dat"}, // exact wins
        {"MAPPE/BOTH.dat", mediacheck::Spelling::Exact, "MAPPE/BOTH.dat"},
        {"MAPPE/none.dat", mediacheck::Spelling::Missing, "MAPPE"},
        {"MAPPE/../MAPPE/f1.dat", mediacheck::Spelling::Missing, "MAPPE"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(names.find(c.rel, actual), c.spelling) << c.rel;
        EXPECT_EQ(actual, c.actual) << c.rel;
    }
    EXPECT_EQ(names.foldersListed(), 2); // the root and MAPPE
}

} // namespace
