// The extraction driver: one extraction at a time, the progression seen from
// another task, the extern "C" entry, and the driver's failure paths (archive
// missing, writer not spawned, output file not opened, null paths).
#include "tests/untgz/untgz_test_util.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fcntl.h>
#include <future>
#include <mutex>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

using testsupport::TarBuilder;
using testsupport::TarHeader;
using untgztest::MkdirGate;
using untgztest::occurrences;
using untgztest::Tree;

namespace {

class UntgzDriver : public untgztest::UntgzTest {};

TEST_F(UntgzDriver, SecondUntarWhileOneRunsIsRefused) {
    TarBuilder tar;
    tar.file("a", "1").dir("gate/").file("b", "2");
    const std::string archive = putTgz(tar.finish());
    MkdirGate gate("/gate");
    std::atomic<int> first{1};
    std::thread runner([&] { first = m_untgz->Untar(archive.c_str(), "/SDH/out/", 1, 1); });
    ASSERT_TRUE(gate.waitHeld(10000));

    EXPECT_EQ(m_untgz->Untar("/DVD/other.tgz", "/SDH/other/", 1, 1), -1);
    EXPECT_NE(log().find("(Untar): Untar already in use!!\n"), std::string::npos);
    // A null path during the run shows the running extraction's paths.
    EXPECT_EQ(m_untgz->Untar(nullptr, "/SDH/x/", 1, 1), -1);
    EXPECT_NE(log().find("(Untar): parameters error (m_tar_file = '/DVD/a.tgz', m_dest_folder = "
                         "'/SDH/out/')\n"),
              std::string::npos);
    EXPECT_EQ(occurrences(log(), "Untar already in use!!"), 2);

    gate.release();
    runner.join();
    EXPECT_TRUE(hostsim::waitAllTasks(10000));
    EXPECT_EQ(first, 0);
    EXPECT_EQ(outTree(), (Tree{{"a", "1"}, {"gate", "<dir>"}, {"b", "2"}}));
    EXPECT_FALSE(testsupport::fileExists(sdDir() + "/other"));
    EXPECT_EQ(occurrences(log(), "End Untar, returned value : 0"), 1);
}

// Counts the archive bytes the reader has read (host read replaced).
struct ReadCounter {
    std::mutex lock;
    std::condition_variable cv;
    long bytes = 0;
    long (*original)(int, void *, unsigned long) = nullptr;
};

ReadCounter &readCounter() {
    static ReadCounter c;
    return c;
}

long countedRead(int fd, void *buf, unsigned long count) {
    ReadCounter &c = readCounter();
    const long rc = c.original(fd, buf, count);
    std::lock_guard<std::mutex> l(c.lock);
    c.bytes += rc > 0 ? rc : 0;
    c.cv.notify_all();
    return rc;
}

// While the writer of the first chunk is held, the reader decompresses the
// following chunks into the free buffers of the ring; once let go, every chunk
// is parsed in order and none was overwritten before its writer had it.
TEST_F(UntgzDriver, ReaderRunsAheadOfAHeldWriterWithoutOverwritingChunks) {
    TarBuilder tar;
    tar.dir("gate/");
    Tree expected{{"gate", "<dir>"}};
    for (int i = 0; i < 3 * UNTGZ_CHUNK_COUNT; i++) {
        const std::string name = "f" + std::to_string(i);
        const std::string data =
            testsupport::sampleContent(UNTGZ_CHUNK_SIZE / 2 + 1000 * i, static_cast<uint32_t>(i));
        tar.file(name, data);
        expected[name] = data;
    }
    // Stored, not compressed: the archive bytes read tell the chunks read.
    const std::string archive = putArchive(testsupport::gzip(tar.finish(), 0));
    ReadCounter &counter = readCounter();
    counter.bytes = 0;
    counter.original = hostsim::fileOps().read;
    hostsim::fileOps().read = countedRead;

    MkdirGate gate("/gate");
    std::atomic<int> result{1};
    std::thread runner([&] { result = m_untgz->Untar(archive.c_str(), "/SDH/out/", 0, 1); });
    const bool held = gate.waitHeld(10000);
    EXPECT_TRUE(held);
    if (held) {
        // The held chunk and the ring's other buffers filled: as many
        // chunks of the stored archive read.
        static_assert(UNTGZ_CHUNK_COUNT >= 2, "the reader works ahead of the writer");
        const long ahead = (long)UNTGZ_CHUNK_COUNT * UNTGZ_CHUNK_SIZE;
        std::unique_lock<std::mutex> l(counter.lock);
        EXPECT_TRUE(counter.cv.wait_for(l, std::chrono::seconds(10),
                                        [&] { return counter.bytes >= ahead; }))
            << counter.bytes << " bytes read while the first writer is held";
    }
    gate.release();
    runner.join();
    EXPECT_TRUE(hostsim::waitAllTasks(10000));
    EXPECT_EQ(result, 0) << log();
    EXPECT_EQ(outTree(), expected);
}

TEST_F(UntgzDriver, ProgressionCountsDataBytesAndNeverDecreases) {
    // Before the gate: 1000 + 2 chunks and 3 bytes of file data; a directory
    // with a size and a link add nothing.
    TarBuilder tar;
    tar.file("a", std::string(1000, 'a'));
    tar.header(TarHeader::directory("d/").size(1024)).data(std::string(1024, 'd'));
    tar.symlink("l", "a");
    tar.file("b", testsupport::sampleContent(2 * UNTGZ_CHUNK_SIZE + 3, 5));
    tar.dir("gate/");
    tar.file("c", std::string(5000, 'c'));
    const std::string archive = putTgz(tar.finish());

    unsigned long long value = 99;
    EXPECT_EQ(m_untgz->GetProgression(value), -1);
    EXPECT_EQ(value, 0u);

    struct Sample {
        int rc;
        unsigned long long value;
    };
    std::vector<Sample> samples;
    std::atomic<bool> polling{true};
    std::thread poller([&] {
        while (polling) {
            unsigned long long v = 0;
            int rc = m_untgz->GetProgression(v);
            if (samples.empty() || samples.back().rc != rc || samples.back().value != v)
                samples.push_back({rc, v});
            std::this_thread::yield();
        }
    });

    MkdirGate gate("/gate");
    std::atomic<int> result{1};
    std::thread runner([&] { result = m_untgz->Untar(archive.c_str(), "/SDH/out/", 1, 1); });
    ASSERT_TRUE(gate.waitHeld(10000));
    EXPECT_EQ(m_untgz->GetProgression(value), 0);
    EXPECT_EQ(value, 1000u + 2 * UNTGZ_CHUNK_SIZE + 3);
    gate.release();
    runner.join();
    polling = false;
    poller.join();

    EXPECT_EQ(result, 0);
    EXPECT_EQ(m_untgz->GetProgression(value), -1);
    EXPECT_EQ(value, 0u);
    // -1 before, 0 with a growing value during, -1 after.
    ASSERT_FALSE(samples.empty());
    size_t i = 0;
    while (i < samples.size() && samples[i].rc == -1)
        EXPECT_EQ(samples[i++].value, 0u);
    unsigned long long last = 0;
    for (; i < samples.size() && samples[i].rc == 0; i++) {
        EXPECT_GE(samples[i].value, last);
        last = samples[i].value;
    }
    EXPECT_LE(last, 1000u + 2 * UNTGZ_CHUNK_SIZE + 3 + 5000);
    for (; i < samples.size(); i++) {
        EXPECT_EQ(samples[i].rc, -1);
        EXPECT_EQ(samples[i].value, 0u);
    }
}

TEST_F(UntgzDriver, ExternCUntarTellsTheOutcomeInTheLog) {
    const std::string archive = putTgz(TarBuilder().file("a", "1").finish());
    Untar(archive.c_str(), "/SDH/out/", 0, 1);
    EXPECT_TRUE(hostsim::waitAllTasks(10000));
    EXPECT_NE(log().find("(extern 'C' - Untar ): l_instance(0x"), std::string::npos);
    EXPECT_NE(log().find(")->Untar ('/DVD/a.tgz', '/SDH/out/')\n"), std::string::npos);
    EXPECT_NE(log().find("(extern 'C' - Untar '/DVD/a.tgz'): Done \n"), std::string::npos);
    EXPECT_EQ(testsupport::readFile(host("/SDH/out/a")), "1");

    hostsim::clearCapturedLog();
    Untar("/DVD/missing.tgz", "/SDH/out/", 0, 1);
    EXPECT_NE(log().find("(extern 'C' - Untar '/DVD/missing.tgz'): ERROR \n"), std::string::npos);
}

TEST_F(UntgzDriver, NullPathReportsThePreviousPaths) {
    EXPECT_EQ(untar(putTgz(TarBuilder().file("a", "1").finish())), 0);
    hostsim::clearCapturedLog();
    EXPECT_EQ(m_untgz->Untar("/DVD/a.tgz", nullptr, 1, 1), -1);
    const std::string text = log();
    EXPECT_NE(text.find("(Untar): parameters error (m_tar_file = '/DVD/a.tgz', m_dest_folder = "
                        "'/SDH/out/')\n"),
              std::string::npos);
    EXPECT_NE(text.find("(Untar): End Untar, returned value : -1\n"), std::string::npos);
    EXPECT_EQ(text.find("Begin Untar"), std::string::npos);
    EXPECT_EQ(text.find("taskDelay(50)"), std::string::npos);
}

TEST_F(UntgzDriver, ArchiveThatIsNoRegularFile) {
    ASSERT_EQ(::mkfifo((mediaDir() + "/fifo.tgz").c_str(), 0600), 0);
    ASSERT_EQ(::mkdir((mediaDir() + "/folder.tgz").c_str(), 0700), 0);
    struct Case {
        const char *archive;
        const char *errnoText;
        bool notRegular;
    };
    const Case cases[] = {
        {"/DVD/missing.tgz", "0x2", false},
        {"/DVD/fifo.tgz", "0x16", true},   // EINVAL; an open that blocked would hang here
        {"/DVD/folder.tgz", "0x15", true}, // EISDIR
    };
    for (const Case &c : cases) {
        hostsim::clearCapturedLog();
        // On a task of its own, so that an open that blocks fails the test
        // instead of hanging it.
        std::future<int> result =
            std::async(std::launch::async, [&]() { return untar(c.archive); });
        if (result.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
            int fd = ::open(host(c.archive).c_str(), O_WRONLY | O_NONBLOCK);
            if (fd >= 0)
                ::close(fd);
            ADD_FAILURE() << c.archive << ": the extraction blocked";
            result.wait();
            continue;
        }
        EXPECT_EQ(result.get(), -1) << c.archive;
        const std::string text = log();
        EXPECT_NE(text.find(std::string("(DoUnArchive): gzopen (") + c.archive +
                            ") : ERROR (errno = " + c.errnoText + ")\n"),
                  std::string::npos)
            << text;
        EXPECT_EQ(text.find(std::string(c.archive) + ": not a regular file\n") != std::string::npos,
                  c.notRegular)
            << text;
        // No writer was spawned; the driver still makes its one pause.
        EXPECT_EQ(occurrences(text, "taskDelay(50)"), 1) << c.archive;
        EXPECT_NE(text.find("End Untar, returned value : -1\n"), std::string::npos);
    }
}

TEST_F(UntgzDriver, WriterThatCannotBeSpawned) {
    const std::string archive = putTgz(TarBuilder().file("a", "1").finish());
    hostsim::failTaskSpawn("TarWrtTask");
    EXPECT_EQ(untar(archive), -1);
    EXPECT_NE(log().find("(DoUnArchive): m_write_task == ERROR\n"), std::string::npos);
    EXPECT_EQ(log().find("taskDelay(50)"), std::string::npos);
    EXPECT_TRUE(outTree().empty());
    // The extractor is free again.
    hostsim::clearCapturedLog();
    EXPECT_EQ(untar(archive), 0);
    EXPECT_EQ(testsupport::readFile(host("/SDH/out/a")), "1");
}

TEST_F(UntgzDriver, WriterTasksAreSpawnedPerChunkAsSpecified) {
    const size_t before = hostsim::spawnedTasks().size();
    TarBuilder tar;
    tar.file("big", std::string(2 * UNTGZ_CHUNK_SIZE, 'b'));
    EXPECT_EQ(untar(putTgz(tar.finish())), 0);
    std::vector<hostsim::TaskInfo> tasks = hostsim::spawnedTasks();
    // One writer per chunk: two full chunks and one of 1536 bytes (header
    // and end blocks).
    EXPECT_EQ(tasks.size() - before, 3u);
}

// Each entry that cannot be made stops the extraction with -1 and a line
// naming the path and the error; what came before stays. So does a card that
// cannot be flushed at the end.
TEST_F(UntgzDriver, EntryThatCannotBeMadeFailsTheExtraction) {
    struct Case {
        const char *what;
        hostsim::FileOp op;
        int nth;
        const char *line;
        Tree left;
    };
    const Case cases[] = {
        {"folder",
         hostsim::FileOp::Mkdir,
         1,
         "cannot create folder '/SDH/out/d/': Permission denied\n",
         {{"y", "y"}}},
        {"file",
         hostsim::FileOp::Fopen,
         2,
         "cannot create '/SDH/out/sub/x': Permission denied\n",
         {{"y", "y"}, {"d", "<dir>"}, {"sub", "<dir>"}}},
        {"write",
         hostsim::FileOp::Fwrite,
         2,
         "cannot write '/SDH/out/sub/x': Permission denied\n",
         {{"y", "y"}, {"d", "<dir>"}, {"sub", "<dir>"}, {"sub/x", ""}}},
        {"close",
         hostsim::FileOp::Fclose,
         2,
         "cannot close '/SDH/out/sub/x': Permission denied\n",
         {{"y", "y"}, {"d", "<dir>"}, {"sub", "<dir>"}, {"sub/x", std::string(600, 'x')}}},
        // Every entry is written, but not known to be on the card: no success.
        {"flush",
         hostsim::FileOp::Sync,
         1,
         "cannot flush '/SDH' to the medium: Permission denied\n",
         {{"y", "y"},
          {"d", "<dir>"},
          {"sub", "<dir>"},
          {"sub/x", std::string(600, 'x')},
          {"z", "z"}}},
    };
    for (const Case &c : cases) {
        hostsim::clearCapturedLog();
        testsupport::removeTree(sdDir() + "/out");
        testsupport::writeFile(sdDir() + "/out/.keep", "");
        std::remove((sdDir() + "/out/.keep").c_str());
        hostsim::clearFaults();
        hostsim::injectFault(c.op, c.nth, EACCES, true);
        TarBuilder tar;
        tar.file("y", "y").dir("d/").file("sub/x", std::string(600, 'x')).file("z", "z");
        if (c.op == hostsim::FileOp::Mkdir)
            tar = TarBuilder().file("y", "y").dir("d/").file("z", "z");
        EXPECT_EQ(untar(putTgz(tar.finish())), -1) << c.what;
        EXPECT_NE(log().find(c.line), std::string::npos) << c.what << "\n" << log();
        EXPECT_EQ(outTree(), c.left) << c.what;
    }
}

} // namespace
