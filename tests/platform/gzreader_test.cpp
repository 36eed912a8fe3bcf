// The archive reader (plat::gzOpen/gzRead/gzClose): what it reads like
// zlib's gzread (plain files, concatenated members, trailing bytes), and the
// cut streams it must always report, swept over every cut offset of a small
// archive and around every 256 KiB output boundary of a larger one.
#include "platform/hostsim/hostsim.h"
#include "platform/plat_gz.h"
#include "tests/support/tar_builder.h"
#include "tests/support/unit_fixture.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cerrno>
#include <unistd.h>
#include <string>
#include <vector>

namespace {

const unsigned k_chunk = 262144; // what the extractor asks per read

// Reads of the host file stop at this offset: a file cut without writing it
// again (the disk is slow to create files).
long g_cut = -1;
long CuttingRead(int fd, void *buf, unsigned long count) {
    const long pos = static_cast<long>(::lseek(fd, 0, SEEK_CUR));
    if (g_cut >= 0 && pos >= 0) {
        if (pos >= g_cut)
            return 0;
        if (static_cast<long>(count) > g_cut - pos)
            count = static_cast<unsigned long>(g_cut - pos);
    }
    return static_cast<long>(::read(fd, buf, count));
}

class GzReaderTest : public testsupport::UnitFixture {
protected:
    // Reads the whole file at unit path /DVD/a.gz in k_chunk reads. The
    // result: 0 once the stream ended complete, -1 on an error (data holds
    // what came before).
    int readAll(const std::string &bytes, std::string *data) {
        EXPECT_TRUE(testsupport::writeFile(mediaDir() + "/a.gz", bytes));
        return readFile(data);
    }
    // The same on the file as it is (cut by g_cut).
    int readFile(std::string *data) {
        plat::GzReader *r = plat::gzOpen("/DVD/a.gz");
        if (r == nullptr)
            return -2;
        std::vector<char> buf(k_chunk);
        int n = 0;
        data->clear();
        while ((n = plat::gzRead(r, buf.data(), k_chunk)) > 0)
            data->append(buf.data(), static_cast<size_t>(n));
        if (n < 0) {
            EXPECT_STRNE(plat::gzErrorText(r), "");
            EXPECT_EQ(plat::gzRead(r, buf.data(), k_chunk), -1); // errors stick
        }
        const int closed = plat::gzClose(r);
        EXPECT_EQ(closed, n < 0 ? -1 : 0);
        return n < 0 ? -1 : 0;
    }
};

TEST_F(GzReaderTest, ReadsAsGzreadDoes) {
    const std::string one = testsupport::sampleContent(70000, 1);
    const std::string two = testsupport::sampleContent(300000, 2);
    std::string badCrc = testsupport::gzip(one);
    badCrc[badCrc.size() - 8] ^= 0x11;
    std::string badData = testsupport::gzip(two);
    badData[badData.size() / 2] ^= 0x55;
    struct Case {
        const char *what;
        std::string bytes;
        int result;
        std::string data;
    };
    const Case cases[] = {
        {"one member", testsupport::gzip(one), 0, one},
        {"two members", testsupport::gzip(one) + testsupport::gzip(two, 1), 0, one + two},
        {"plain file", two, 0, two},
        {"empty file", "", 0, ""},
        {"trailing bytes ignored", testsupport::gzip(one) + "not gzip", 0, one},
        {"trailing zeros ignored", testsupport::gzip(one) + std::string(700, '\0'), 0, one},
        {"bad CRC", badCrc, -1, ""},
        {"damaged data", badData, -1, ""},
        {"second member cut", testsupport::gzip(one) + testsupport::cut(testsupport::gzip(two), 99),
         -1, ""},
        {"magic only", "\x1f\x8b", -1, ""},
    };
    for (const Case &c : cases) {
        std::string data;
        EXPECT_EQ(readAll(c.bytes, &data), c.result) << c.what;
        if (c.result == 0) {
            EXPECT_EQ(data, c.data) << c.what;
        }
    }
    errno = 0;
    EXPECT_EQ(plat::gzOpen("/DVD/missing.gz"), nullptr);
    EXPECT_EQ(errno, ENOENT);
    hostsim::injectFault(hostsim::FileOp::Read, 2, EIO);
    std::string data;
    EXPECT_EQ(readAll(testsupport::gzip(two, 0), &data), -1);
    EXPECT_EQ(plat::gzClose(nullptr), -1);
    const std::string inflater = plat::gzInflaterName();
    EXPECT_TRUE(inflater == "zlib" || inflater == "isal") << inflater;
}

TEST_F(GzReaderTest, EveryCutOfASmallArchiveIsAnError) {
    const std::string tgz = testsupport::gzip(testsupport::TarBuilder()
                                                  .file("a", testsupport::sampleContent(3000, 3))
                                                  .file("b", testsupport::sampleContent(900, 4))
                                                  .finish());
    int runs = 0;
    std::string data;
    EXPECT_EQ(readAll(tgz, &data), 0);
    hostsim::fileOps().read = CuttingRead;
    for (size_t length = 2; length < tgz.size(); length++, runs++) {
        g_cut = static_cast<long>(length);
        EXPECT_EQ(readFile(&data), -1) << "cut at " << length;
    }
    g_cut = -1;
    RecordProperty("cuts", runs);
}

// The compressed offsets at which a stream's output reaches each multiple of
// k_chunk (inflate fed all input, output taken k_chunk at a time).
std::vector<size_t> boundaryOffsets(const std::string &gz) {
    std::vector<size_t> offsets;
    z_stream s{};
    if (inflateInit2(&s, 15 + 16) != Z_OK)
        return offsets;
    std::vector<unsigned char> out(k_chunk);
    s.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(gz.data()));
    s.avail_in = static_cast<uInt>(gz.size());
    for (;;) {
        s.next_out = out.data();
        s.avail_out = k_chunk;
        const int rc = inflate(&s, Z_NO_FLUSH);
        if (s.avail_out == 0)
            offsets.push_back(static_cast<size_t>(s.total_in));
        if (rc != Z_OK)
            break;
    }
    inflateEnd(&s);
    return offsets;
}

// Where zlib's gzread can take a cut stream for a complete one: the input
// runs out just as a read's output is full. Every such cut, and those near
// it, must be an error here.
TEST_F(GzReaderTest, CutsAroundEachOutputBoundaryAreErrors) {
    const std::string content = testsupport::sampleContent(4 * k_chunk - 512 * 3, 5);
    const std::string tgz =
        testsupport::gzip(testsupport::TarBuilder().file("big", content).finish());
    const std::vector<size_t> offsets = boundaryOffsets(tgz);
    ASSERT_EQ(offsets.size(), 4u);
    int runs = 0;
    std::string data;
    EXPECT_EQ(readAll(tgz, &data), 0);
    hostsim::fileOps().read = CuttingRead;
    std::vector<size_t> lengths;
    for (size_t at : offsets)
        for (size_t length = at - 24; length <= at + 24 && length < tgz.size(); length++)
            lengths.push_back(length);
    // The last bytes: the end of the deflate data and the trailer.
    for (size_t length = tgz.size() - 16; length < tgz.size(); length++)
        lengths.push_back(length);
    for (size_t length : lengths) {
        g_cut = static_cast<long>(length);
        EXPECT_EQ(readFile(&data), -1) << "cut at " << length;
        runs++;
    }
    g_cut = -1;
    RecordProperty("cuts", runs);
}

} // namespace
