// Extractions kept to the unit's devices: one while another process swaps a
// folder of the card for a symbolic link to a folder outside it, and back,
// again and again (whatever its result, nothing lands outside the card), and
// ones into host folders while the unit plays alone (nothing made at all).
#include "tests/untgz/untgz_test_util.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <future>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using testsupport::TarBuilder;

namespace {

class UntgzConfined : public untgztest::UntgzTest {};

TEST_F(UntgzConfined, FolderSwappedForALinkDuringAnExtractionLeadsNothingOutside) {
    // A few hundred small files in folders under MAPPE/FRA, the folder that
    // is swapped.
    TarBuilder tar;
    tar.dir("MAPPE/").dir("MAPPE/FRA/");
    for (int d = 0; d < 10; ++d) {
        const std::string folder = "MAPPE/FRA/d" + std::to_string(d) + "/";
        tar.dir(folder);
        for (int f = 0; f < 30; ++f)
            tar.file(folder + "f" + std::to_string(f) + ".dat", "tile " + std::to_string(f));
    }
    const std::string archive = putTgz(tar.finish());
    const std::string outside = root() + "/outside";
    ASSERT_EQ(::mkdir(outside.c_str(), 0755), 0);
    const std::string fra = sdDir() + "/MAPPE/FRA";
    const std::string aside = sdDir() + "/MAPPE/FRA.real";

    // Both ways of resolving: openat2, and the walk of a kernel without it.
    for (bool withoutOpenat2 : {false, true}) {
        SCOPED_TRACE(withoutOpenat2 ? "without openat2" : "openat2");
        hostsim::playHostWithoutOpenat2(withoutOpenat2);
        int refusals = 0;
        for (int round = 0; round < 20; ++round) {
            testsupport::removeTree(sdDir() + "/MAPPE");
            ASSERT_EQ(::mkdir((sdDir() + "/MAPPE").c_str(), 0755), 0);
            ASSERT_EQ(::mkdir(fra.c_str(), 0755), 0);
            hostsim::clearCapturedLog();
            std::atomic<bool> stop{false};
            std::thread swapper([&] {
                while (!stop.load()) {
                    // Each turn gives way once at least: a thread that never
                    // does starves the extraction where threads take turns
                    // (Valgrind runs one at a time).
                    if (::rename(fra.c_str(), aside.c_str()) != 0) {
                        std::this_thread::yield();
                        continue;
                    }
                    (void)::symlink(outside.c_str(), fra.c_str());
                    std::this_thread::yield();
                    struct stat st;
                    if (::lstat(fra.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
                        ::unlink(fra.c_str());
                    (void)::rename(aside.c_str(), fra.c_str());
                }
            });
            std::future<int> result =
                std::async(std::launch::async, [&] { return untar(archive, "/SDH/"); });
            const bool ended =
                result.wait_for(std::chrono::seconds(60)) == std::future_status::ready;
            stop = true;
            swapper.join();
            ASSERT_TRUE(ended) << "the extraction did not end";
            result.get();
            ASSERT_TRUE(untgztest::snapshot(outside).empty()) << "written outside, round " << round;
            if (log().find("is refused: it passes through " + fra) != std::string::npos)
                ++refusals;
        }
        EXPECT_GT(refusals, 0) << "the link was never met: the race was not played";
    }
}

// A destination on no device ("" is the working folder, or a host folder)
// is absent while host paths are: the extraction fails and makes nothing.
TEST_F(UntgzConfined, ExtractionOntoAHostPathMakesNothingWhileHostPathsAreAbsent) {
    const std::string archive =
        putTgz(TarBuilder().file("a.txt", "a").file("d/b.txt", "b").finish());
    const std::string cwd = root() + "/cwd";
    const std::string hostDest = root() + "/host";
    ASSERT_EQ(::mkdir(cwd.c_str(), 0755), 0);
    ASSERT_EQ(::mkdir(hostDest.c_str(), 0755), 0);
    char before[4096];
    ASSERT_NE(::getcwd(before, sizeof before), nullptr);
    ASSERT_EQ(::chdir(cwd.c_str()), 0);
    hostsim::setHostPathsAbsent(true);
    for (const std::string &dest : {std::string(), hostDest + "/"}) {
        SCOPED_TRACE("destination '" + dest + "'");
        hostsim::clearCapturedLog();
        EXPECT_EQ(untar(archive, dest), -1);
        EXPECT_NE(log().find(std::string(" is absent: ") + hostsim::kNoSuchPathText),
                  std::string::npos)
            << log();
    }
    // The card is the unit's own.
    EXPECT_EQ(untar(archive, "/SDH/out/"), 0);
    hostsim::setHostPathsAbsent(false);
    ASSERT_EQ(::chdir(before), 0);
    EXPECT_TRUE(untgztest::snapshot(cwd).empty());
    EXPECT_TRUE(untgztest::snapshot(hostDest).empty());
    EXPECT_EQ(outTree(), (untgztest::Tree{{"a.txt", "a"}, {"d", "<dir>"}, {"d/b.txt", "b"}}));
}

} // namespace
