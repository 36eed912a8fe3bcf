// The archive reader's contract suite (plat::gzOpen/gzRead/gzClose), run
// against every inflater built in: against a reference that reads the same
// bytes the way zlib's gzread does, on whole buffers, complete streams must
// give the same bytes and every cut or damaged stream the same verdict, with
// at most a few bytes of the damaged member held back; every read returns
// the whole count asked for unless the stream ends or fails in it; member
// boundaries anywhere (every offset of a small tar, around the output
// buffers of a larger one, BGZF-style members, empty members) are invisible.
#include "platform/gzreader/gz_inflater.h"
#include "platform/hostsim/hostsim.h"
#include "platform/plat_gz.h"
#include "tests/support/tar_builder.h"
#include "tests/support/unit_fixture.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <future>
#include <set>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// ---- Archive building -----------------------------------------------------------

struct Rng {
    uint64_t s;
    explicit Rng(uint64_t seed) : s(seed * 0x9E3779B97F4A7C15ull + 1) {}
    uint32_t next() {
        s ^= s << 13;
        s ^= s >> 7;
        s ^= s << 17;
        return static_cast<uint32_t>(s >> 11);
    }
};

// `size` bytes alternating between random stretches and repeated text, so
// that the stream has stored-like, literal and match-heavy parts.
std::string content(size_t size, uint64_t seed) {
    static const char line[] = "TILE 0042 LINK 0043 SPEED 50 CLASS 3 NAME VIA ROMA; ";
    std::string out(size, '\0');
    Rng rng(seed);
    for (size_t i = 0; i < size; i++) {
        if ((i / 3000) % 2 == (seed & 1))
            out[i] = static_cast<char>(rng.next());
        else
            out[i] = line[i % (sizeof(line) - 1)];
    }
    return out;
}

// Raw deflate of `data` at `level` with `strategy`.
std::string deflateRaw(const std::string &data, int level, int strategy = Z_DEFAULT_STRATEGY) {
    z_stream z{};
    EXPECT_EQ(deflateInit2(&z, level, Z_DEFLATED, -15, 8, strategy), Z_OK);
    std::string out(deflateBound(&z, data.size()) + 64, '\0');
    z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.data()));
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = reinterpret_cast<Bytef *>(&out[0]);
    z.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

void putLe(std::string &out, uint32_t v, int bytes) {
    for (int i = 0; i < bytes; i++)
        out += static_cast<char>((v >> (8 * i)) & 0xFF);
}

struct MemberOptions {
    int level = 6;
    int strategy = Z_DEFAULT_STRATEGY;
    int flags = 0; // FHCRC 2, FEXTRA 4, FNAME 8, FCOMMENT 16
};

// One gzip member holding `data`, with the optional header fields `flags`
// asks for (a correct header CRC when FHCRC is set).
std::string member(const std::string &data, MemberOptions o = {}) {
    std::string out = "\x1f\x8b\x08";
    out += static_cast<char>(o.flags);
    putLe(out, 0x5E1F0000u, 4); // MTIME
    out += '\0';
    out += '\x03';
    if (o.flags & 4) {
        putLe(out, 6, 2);
        out += std::string("BC\x02\x00\xff\x00", 6); // a BGZF-style block-size subfield
    }
    if (o.flags & 8)
        out += std::string("MAPPE.TAR") + '\0';
    if (o.flags & 16)
        out += std::string("nav update") + '\0';
    if (o.flags & 2)
        putLe(out,
              crc32(0, reinterpret_cast<const Bytef *>(out.data()), static_cast<uInt>(out.size())) &
                  0xFFFFu,
              2);
    out += deflateRaw(data, o.level, o.strategy);
    putLe(out,
          static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef *>(data.data()),
                                      static_cast<uInt>(data.size()))),
          4);
    putLe(out, static_cast<uint32_t>(data.size()), 4);
    return out;
}

// ---- Reference ------------------------------------------------------------------

struct Result {
    std::string bytes;
    bool ok = false;
};

bool magicAt(const std::string &f, size_t pos) {
    return f.size() >= pos + 2 && static_cast<unsigned char>(f[pos]) == 0x1F &&
           static_cast<unsigned char>(f[pos + 1]) == 0x8B;
}

// What zlib's gzread makes of the whole file `f`, read in one piece: plain
// data when it does not start with the gzip magic; else members while the
// magic follows a complete one, ignoring anything else after the last. A
// file too short to hold even the gzip magic is not read as plain data.
Result reference(const std::string &f) {
    Result r;
    // Not even a gzip header: a cut archive (zlib would read it as an empty
    // or one-byte plain file).
    if (f.empty() || f == "\x1f")
        return r;
    if (!magicAt(f, 0)) {
        r.bytes = f;
        r.ok = true;
        return r;
    }
    size_t pos = 0;
    std::vector<unsigned char> chunk(1 << 16);
    while (magicAt(f, pos)) {
        z_stream z{};
        if (inflateInit2(&z, 15 + 32) != Z_OK)
            return r;
        z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(f.data() + pos));
        z.avail_in = static_cast<uInt>(f.size() - pos);
        int rc;
        do {
            z.next_out = chunk.data();
            z.avail_out = static_cast<uInt>(chunk.size());
            rc = inflate(&z, Z_NO_FLUSH);
            r.bytes.append(reinterpret_cast<char *>(chunk.data()), chunk.size() - z.avail_out);
        } while (rc == Z_OK);
        pos += z.total_in;
        inflateEnd(&z);
        if (rc != Z_STREAM_END)
            return r; // damaged, or cut (Z_BUF_ERROR: no more input)
    }
    r.ok = true;
    return r;
}

// ---- The reader under test --------------------------------------------------------

using plat::gzinflate::Backend;

std::vector<const Backend *> backends() {
    std::vector<const Backend *> all;
    for (const Backend *const *b = plat::gzinflate::allBackends(); *b != nullptr; b++)
        all.push_back(*b);
    return all;
}

class GzReaderTest : public ::testing::TestWithParam<const Backend *> {
protected:
    // The thousands of archives of a sweep are written over one file in
    // memory, opened by its /proc path: rewriting a file on disk thousands
    // of times would make the disk flush each one.
    void SetUp() override {
        m_dir = testsupport::makeTempDir("gzreader");
        m_memFd = memfd_create("archive", MFD_CLOEXEC);
        ASSERT_GE(m_memFd, 0);
        m_path = "/proc/self/fd/" + std::to_string(m_memFd);
    }
    void TearDown() override {
        hostsim::clearFaults();
        hostsim::resetFileOps();
        if (m_memFd >= 0)
            ::close(m_memFd);
        testsupport::removeTree(m_dir);
    }

    void put(const std::string &f) {
        ASSERT_EQ(::ftruncate(m_memFd, 0), 0);
        ASSERT_EQ(::pwrite(m_memFd, f.data(), f.size(), 0), static_cast<ssize_t>(f.size()));
    }

    plat::GzReader *open(const std::string &path) {
        return plat::gzinflate::gzOpenWith(path.c_str(), *GetParam());
    }

    // Reads the archive in reads of `chunk` bytes; ok when the reads ended
    // with 0. Checks the contract on the way: every read whole but the last
    // (a short count is followed by 0 or -1), an error that sticks, an end
    // that stays, and gzClose agreeing.
    Result readBack(const std::string &path, unsigned chunk) {
        Result r;
        plat::GzReader *gz = open(path);
        EXPECT_NE(gz, nullptr) << path;
        if (gz == nullptr)
            return r;
        std::vector<char> buf(chunk);
        int n;
        bool wasShort = false;
        while ((n = plat::gzRead(gz, buf.data(), chunk)) > 0) {
            EXPECT_LE(static_cast<unsigned>(n), chunk);
            EXPECT_FALSE(wasShort) << "a short read of the stream's middle, before " << n
                                   << " bytes more (at " << r.bytes.size() << ")";
            wasShort = static_cast<unsigned>(n) < chunk;
            r.bytes.append(buf.data(), static_cast<size_t>(n));
        }
        r.ok = n == 0;
        if (!r.ok) {
            EXPECT_STRNE(plat::gzErrorText(gz), "");
            EXPECT_EQ(plat::gzRead(gz, buf.data(), chunk), -1) << "error not kept";
        } else {
            EXPECT_EQ(plat::gzRead(gz, buf.data(), chunk), 0) << "end not kept";
        }
        EXPECT_EQ(plat::gzClose(gz), r.ok ? 0 : -1);
        return r;
    }

    // The reader's result for `f` agrees with the reference: the same verdict;
    // for a complete stream the same bytes; for a failed one a prefix of the
    // for a cut one a prefix of the reference's bytes, at most C_HELD_BACK
    // short. Returns how many bytes short a cut read was.
    size_t expectSame(const std::string &f, unsigned chunk, const std::string &what,
                      bool cut = false) {
        put(f);
        const Result want = reference(f);
        const Result got = readBack(m_path, chunk);
        EXPECT_EQ(got.ok, want.ok) << what << ", reads of " << chunk;
        if (want.ok) {
            EXPECT_TRUE(got.bytes == want.bytes)
                << what << ": " << got.bytes.size() << " bytes, want " << want.bytes.size();
            return 0;
        }
        // Damaged data may decode to different bytes before each inflater
        // notices the damage: only the verdict counts there.
        const bool prefix = got.bytes.size() <= want.bytes.size() &&
                            want.bytes.compare(0, got.bytes.size(), got.bytes) == 0;
        const size_t shortBy = prefix ? want.bytes.size() - got.bytes.size() : 0;
        if (cut) {
            EXPECT_TRUE(prefix) << what << ": bytes of a cut read differ";
            EXPECT_LE(shortBy, C_HELD_BACK) << what;
        }
        return shortBy;
    }

    // The most decoded bytes an inflater may keep back when its input is cut
    // (a partly decoded group of symbols).
    static constexpr size_t C_HELD_BACK = 16;

    std::string m_dir;
    int m_memFd = -1;
    std::string m_path;
};

// A small archive of three members (one empty, every header field in use).
std::string smallArchive() {
    return member(content(1500, 3), {6, Z_DEFAULT_STRATEGY, 2 | 4 | 8 | 16}) +
           member(std::string()) + member(content(2200, 4), {9, Z_FIXED, 8});
}

TEST_P(GzReaderTest, CompleteAndDamagedStreamsAsZlibReadsThem) {
    const std::string text = content(100000, 1);
    const std::string big = content(3u << 20, 2);
    struct Case {
        const char *what;
        std::string file;
        bool ok;
        bool large;
    };
    std::string badCrc = member(text);
    badCrc[badCrc.size() - 6] ^= 0x01;
    std::string badLength = member(text);
    badLength[badLength.size() - 2] ^= 0x01;
    std::string reserved = member(text);
    reserved[3] = '\x20';
    std::string method = member(text);
    method[2] = '\x07';
    std::string headerCrc = member(text, {6, Z_DEFAULT_STRATEGY, 2 | 8});
    headerCrc[10 + 10] ^= 0x01; // inside the name
    const Case cases[] = {
        {"single member", member(text), true, false},
        {"every header field", member(text, {6, Z_DEFAULT_STRATEGY, 2 | 4 | 8 | 16}), true, false},
        {"stored blocks", member(text, {0}), true, false},
        {"fixed codes", member(text, {6, Z_FIXED}), true, false},
        {"three members", member(text) + member(content(5000, 7)) + member(text, {1}), true, false},
        {"empty member between", member(text) + member("") + member(text), true, false},
        {"empty members before and after", member("") + member("") + member(text) + member(""),
         true, false},
        {"only an empty member", member(""), true, false},
        {"plain file", text, true, false},
        {"empty file", "", false, false},
        {"one magic byte only", "\x1f", false, false},
        {"one byte, not the magic", "x", true, false},
        {"magic byte, then not the magic", "\x1fx", true, false},
        {"trailing text", member(text) + "not an archive", true, false},
        {"trailing zeros", member(text) + std::string(10240, '\0'), true, false},
        {"trailing lone magic byte", member(text) + "\x1f", true, false},
        {"trailing magic then junk", member(text) + "\x1f\x8bjunk", false, false},
        {"magic only", "\x1f\x8b", false, false},
        {"wrong CRC-32", badCrc, false, false},
        {"wrong length", badLength, false, false},
        {"reserved flag", reserved, false, false},
        {"unknown method", method, false, false},
        {"wrong header CRC", headerCrc, false, false},
        {"large, 3 MiB", member(big), true, true},
        {"large, stored, 3 MiB", member(big, {0}), true, true},
        {"large, two members", member(big) + member(text), true, true},
    };
    for (const Case &c : cases) {
        ASSERT_EQ(reference(c.file).ok, c.ok) << c.what; // the table itself
        for (unsigned chunk : {262144u, 65536u, 4095u})
            expectSame(c.file, chunk, c.what);
        if (!c.large)
            for (unsigned chunk : {1u, 7u})
                expectSame(c.file, chunk, c.what);
    }
}

TEST_P(GzReaderTest, EveryCutOfASmallArchive) {
    const std::string full = smallArchive();
    size_t cuts = 0, mostShort = 0;
    for (size_t len = 0; len < full.size(); len++, cuts++)
        for (unsigned chunk : {262144u, 1000u})
            mostShort = std::max(mostShort, expectSame(full.substr(0, len), chunk,
                                                       "cut at " + std::to_string(len), true));
    RecordProperty("cuts", static_cast<int>(cuts));
    RecordProperty("most_held_back", static_cast<int>(mostShort));
}

// Compressed offsets at which the output crosses a multiple of `step`.
std::vector<size_t> inputAtOutput(const std::string &f, size_t step) {
    std::vector<size_t> at;
    z_stream z{};
    EXPECT_EQ(inflateInit2(&z, 31), Z_OK);
    std::vector<unsigned char> out(step);
    z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(f.data()));
    int rc = Z_OK;
    size_t fed = 0;
    while ((rc == Z_OK || rc == Z_BUF_ERROR) && fed < f.size()) {
        z.avail_in = 1; // one byte at a time: the exact input position
        fed++;
        do {
            z.next_out = out.data() + (z.total_out % step);
            z.avail_out = static_cast<uInt>(step - z.total_out % step);
            rc = inflate(&z, Z_NO_FLUSH);
            if (z.total_out % step == 0 && z.avail_out == 0)
                at.push_back(fed);
        } while (rc == Z_OK && z.avail_out == 0);
    }
    inflateEnd(&z);
    return at;
}

TEST_P(GzReaderTest, CutsAroundOutputAndInputBufferBoundaries) {
    const std::string full = member(content(1536 * 1024, 5)) + member(content(300000, 6));
    std::set<size_t> offsets;
    for (size_t at : inputAtOutput(full, 65536))
        for (size_t d = 0; d < 5; d++)
            offsets.insert(at + d - 2);
    for (size_t at = 131072; at < full.size(); at += 131072) // whole input reads
        for (size_t d = 0; d < 3; d++)
            offsets.insert(at + d - 1);
    for (size_t d = 1; d <= 12; d++)
        offsets.insert(full.size() - d); // in and before the last trailer
    const size_t second = member(content(1536 * 1024, 5)).size();
    for (size_t d = 0; d < 14; d++)
        offsets.insert(second + d - 8); // the first trailer and the next header
    size_t cuts = 0;
    for (size_t len : offsets) {
        if (len >= full.size())
            continue;
        for (unsigned chunk : {262144u, 65536u})
            expectSame(full.substr(0, len), chunk, "cut at " + std::to_string(len), true);
        cuts++;
    }
    EXPECT_GT(cuts, 100u);
    RecordProperty("cuts", static_cast<int>(cuts));
}

TEST_P(GzReaderTest, EverySingleByteCorruptionOfASmallArchive) {
    const std::string full = smallArchive();
    size_t runs = 0, complete = 0;
    for (size_t pos = 0; pos < full.size(); pos++) {
        for (unsigned char flip : {0xFFu, 0x01u, 0x80u}) {
            std::string f = full;
            f[pos] = static_cast<char>(f[pos] ^ flip);
            expectSame(f, 262144u, "byte " + std::to_string(pos) + " ^ " + std::to_string(flip));
            complete += reference(f).ok ? 1 : 0;
            runs++;
        }
    }
    RecordProperty("corruptions", static_cast<int>(runs));
    RecordProperty("still_complete", static_cast<int>(complete));
}

TEST_P(GzReaderTest, OpenResolvesDevicesAndRefusesBadArguments) {
    const std::string data = content(5000, 9);
    ASSERT_TRUE(testsupport::writeFile(m_dir + "/archive.tgz", member(data)));
    hostsim::mountDevice("/SDH", m_dir);
    Result r = readBack("/SDH/archive.tgz", 65536);
    hostsim::unmountDevice("/SDH");
    EXPECT_TRUE(r.ok);
    EXPECT_TRUE(r.bytes == data);

    errno = 0;
    EXPECT_EQ(open(m_dir + "/missing.tgz"), nullptr);
    EXPECT_EQ(errno, ENOENT);
    // Not a regular file: refused at once, never blocking on a FIFO that no
    // one writes (the open runs on a thread of its own so that a hang fails
    // the test instead of stopping it).
    ASSERT_EQ(::mkfifo((m_dir + "/fifo.tgz").c_str(), 0600), 0);
    for (const char *name : {"/fifo.tgz", ""}) {
        const std::string path = m_dir + name;
        std::future<std::pair<bool, int>> opened = std::async(std::launch::async, [&]() {
            errno = 0;
            plat::GzReader *gz = open(path);
            const int err = errno;
            if (gz != nullptr)
                plat::gzClose(gz);
            return std::make_pair(gz == nullptr, err);
        });
        if (opened.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
            // Unblock the open so that the thread can end, then fail.
            int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK);
            if (fd >= 0)
                ::close(fd);
            ADD_FAILURE() << path << ": gzOpen blocked";
            opened.wait();
            continue;
        }
        const std::pair<bool, int> got = opened.get();
        EXPECT_TRUE(got.first) << path;
        EXPECT_EQ(got.second, name[0] == '\0' ? EISDIR : EINVAL) << path;
    }
    // A read error in the middle of the stream.
    put(member(content(400000, 10), {0}));
    hostsim::injectFault(hostsim::FileOp::Read, 2, EIO);
    EXPECT_FALSE(readBack(m_path, 262144).ok);
    hostsim::clearFaults();
    EXPECT_EQ(plat::gzOpen(nullptr), nullptr);
    char buf[16];
    EXPECT_EQ(plat::gzRead(nullptr, buf, sizeof buf), -1);
    EXPECT_EQ(plat::gzClose(nullptr), -1);
    EXPECT_STREQ(plat::gzErrorText(nullptr), "");
    const std::string name = plat::gzInflaterName();
    EXPECT_EQ(name, plat::gzinflate::defaultBackend().name);
    EXPECT_EQ(backends().front(), &plat::gzinflate::defaultBackend());

    // Closing before the end is not an error.
    put(member(data));
    plat::GzReader *gz = open(m_path);
    ASSERT_NE(gz, nullptr);
    EXPECT_EQ(plat::gzRead(gz, buf, sizeof buf), static_cast<int>(sizeof buf));
    EXPECT_EQ(plat::gzClose(gz), 0);
}

// A tar of a few small entries, and a larger one whose entries run over
// several 64 KiB and 256 KiB output buffers.
std::string smallTar() {
    return testsupport::TarBuilder()
        .dir("MAPPE/")
        .file("MAPPE/INDEX.DAT", content(1700, 21))
        .file("MAPPE/A.DAT", content(512, 22))
        .file("MAPPE/B.DAT", "")
        .file("MAPPE/C.DAT", content(1025, 23))
        .finish();
}
std::string largeTar() {
    return testsupport::TarBuilder()
        .file("big1", content(300000, 24))
        .file("big2", content(450000, 25))
        .file("small", content(3000, 26))
        .finish();
}

// The same bytes as one member, split into two members at every offset: the
// split is invisible (read in the extractor's 256 KiB and in odd 4095-byte
// reads).
TEST_P(GzReaderTest, MembersSplitAtEveryOffsetOfASmallTar) {
    const std::string tar = smallTar();
    size_t runs = 0;
    for (size_t at = 0; at <= tar.size(); at++, runs++) {
        const std::string f = member(tar.substr(0, at), {1}) + member(tar.substr(at), {1});
        for (unsigned chunk : {262144u, 4095u}) {
            put(f);
            const Result got = readBack(m_path, chunk);
            EXPECT_TRUE(got.ok) << "split at " << at << ", reads of " << chunk;
            EXPECT_TRUE(got.bytes == tar) << "split at " << at << ", reads of " << chunk;
        }
    }
    RecordProperty("splits", static_cast<int>(runs));
}

// Members split around the reads' output boundaries of a larger tar, and
// BGZF-style members (65,280 bytes each, with their extra field, ended by an
// empty member).
TEST_P(GzReaderTest, MembersAroundOutputBoundariesAndBgzfMembers) {
    const std::string tar = largeTar();
    std::vector<std::pair<std::string, std::string>> files;
    // Every multiple of 64 KiB (those of 256 KiB among them) and its two
    // neighbours.
    for (size_t at = 65536; at < tar.size(); at += 65536)
        for (long d = -1; d <= 1; d++) {
            const size_t split = at + d;
            files.push_back({"split at " + std::to_string(split),
                             member(tar.substr(0, split), {1}) + member(tar.substr(split), {1})});
        }
    std::string bgzf;
    for (size_t at = 0; at < tar.size(); at += 65280)
        bgzf += member(tar.substr(at, 65280), {6, Z_DEFAULT_STRATEGY, 4});
    files.push_back({"BGZF members", bgzf + member("", {6, Z_DEFAULT_STRATEGY, 4})});
    std::string many;
    for (size_t at = 0; at < tar.size(); at += 4096)
        many += member("") + member(tar.substr(at, 4096), {1});
    files.push_back({"4 KiB members, each after an empty one", many + member("")});
    for (const auto &f : files)
        for (unsigned chunk : {262144u, 65536u}) {
            put(f.second);
            const Result got = readBack(m_path, chunk);
            EXPECT_TRUE(got.ok) << f.first << ", reads of " << chunk;
            EXPECT_TRUE(got.bytes == tar) << f.first << ", reads of " << chunk;
        }
}

// A reader on the caller's own file reads and closes through the caller's
// functions only, and tells what it saw: plain or gzip, members read whole,
// and where the last member ended (trailing bytes past it are ignored).
namespace callerio {
int g_reads = 0;
int g_closes = 0;
long countedRead(int fd, void *buf, unsigned long count) {
    g_reads++;
    return static_cast<long>(::read(fd, buf, count));
}
int countedClose(int fd) {
    g_closes++;
    return ::close(fd);
}
} // namespace callerio

TEST_P(GzReaderTest, ReaderOnTheCallersFileTellsMembersAndWhereTheStreamEnds) {
    const std::string data = content(70000, 9);
    const std::string two = member(data.substr(0, 30000)) + member(data.substr(30000));
    struct Case {
        const char *what;
        std::string file;
        bool ok, plain;
        unsigned members;
        size_t consumed; // where the stream ended (checked when ok)
    } cases[] = {
        {"two members", two, true, false, 2, two.size()},
        {"two members and trailing text", two + "trailing text", true, false, 2, two.size()},
        {"two members and zeros", two + std::string(700, '\0'), true, false, 2, two.size()},
        {"plain data", data, true, true, 0, data.size()},
        {"second member cut", two.substr(0, two.size() - 3), false, false, 1, 0},
    };
    for (const Case &c : cases) {
        put(c.file);
        callerio::g_reads = callerio::g_closes = 0;
        const int fd = ::open(m_path.c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        plat::GzReader *gz = plat::gzinflate::gzOpenOnFd(fd, *GetParam(), callerio::countedRead,
                                                         callerio::countedClose);
        ASSERT_NE(gz, nullptr) << c.what;
        std::string out;
        std::vector<char> buf(65536);
        int n;
        while ((n = plat::gzRead(gz, buf.data(), static_cast<unsigned>(buf.size()))) > 0)
            out.append(buf.data(), static_cast<size_t>(n));
        EXPECT_EQ(n == 0, c.ok) << c.what;
        plat::gzinflate::GzFacts facts;
        plat::gzinflate::gzFacts(gz, &facts);
        EXPECT_EQ(facts.plain, c.plain) << c.what;
        EXPECT_EQ(facts.members, c.members) << c.what;
        EXPECT_EQ(facts.fileRead, c.file.size()) << c.what;
        if (c.ok) {
            EXPECT_EQ(out, data) << c.what;
            EXPECT_EQ(facts.consumed, c.consumed) << c.what;
        }
        EXPECT_GT(callerio::g_reads, 0) << c.what;
        EXPECT_EQ(plat::gzClose(gz), c.ok ? 0 : -1) << c.what;
        EXPECT_EQ(callerio::g_closes, 1) << c.what;
    }
    errno = 0;
    EXPECT_EQ(plat::gzinflate::gzOpenOnFd(0, *GetParam(), nullptr, callerio::countedClose),
              nullptr);
    EXPECT_EQ(errno, EINVAL);
}

INSTANTIATE_TEST_SUITE_P(Inflaters, GzReaderTest, ::testing::ValuesIn(backends()),
                         [](const ::testing::TestParamInfo<const Backend *> &info) {
                             return std::string(info.param->name);
                         });

} // namespace
