// Archives of several gzip members, extracted on every inflater built in:
// member boundaries inside headers, inside data, on and next to tar blocks
// and 256 KiB chunks, BGZF-style members and empty members all extract to
// the tree of the same archive in one member. And the driver's defence
// against a reader that returns a short chunk before the end of its stream.
#include "platform/gzreader/gz_inflater.h"
#include "tests/untgz/untgz_test_util.h"


using plat::gzinflate::Backend;
using testsupport::TarBuilder;
using untgztest::Tree;

namespace {

std::vector<const Backend *> backends() {
    std::vector<const Backend *> all;
    for (const Backend *const *b = plat::gzinflate::allBackends(); *b != nullptr; b++)
        all.push_back(*b);
    return all;
}

// One gzip member of `data`; `extra` adds a BGZF-style extra field.
std::string member(const std::string &data, bool extra = false) {
    if (!extra)
        return testsupport::gzip(data, 1);
    std::string gz = testsupport::gzip(data, 1);
    // FLG.FEXTRA and, after the 10-byte header, XLEN 6 and a "BC" subfield.
    gz[3] = static_cast<char>(gz[3] | 0x04);
    return gz.substr(0, 10) +
           std::string("\x06\x00"
                       "BC\x02\x00\xff\x00",
                       8) +
           gz.substr(10);
}

class UntgzMembers : public untgztest::UntgzTest,
                     public ::testing::WithParamInterface<const Backend *> {
protected:
    void SetUp() override {
        UntgzTest::SetUp();
        plat::gzinflate::useBackendForTest(GetParam());
    }
    void TearDown() override {
        plat::gzinflate::setReadLimitForTest(0);
        plat::gzinflate::useBackendForTest(nullptr);
        UntgzTest::TearDown();
    }

    // Extracts `bytes` into a fresh destination: the result and the tree.
    int extract(const std::string &bytes, Tree *tree) {
        testsupport::removeTree(sdDir() + "/out");
        hostsim::clearCapturedLog();
        const int result = untar(putArchive(bytes));
        *tree = outTree();
        return result;
    }
};

TEST_P(UntgzMembers, SplitAnywhereExtractsAsOneMember) {
    const std::string index = testsupport::sampleContent(5000, 31);
    const std::string big = testsupport::sampleContent(600000, 32);
    const std::string tar = TarBuilder()
                                .dir("MAPPE/")
                                .file("MAPPE/INDEX.DAT", index)
                                .file("MAPPE/A.DAT", testsupport::sampleContent(512, 33))
                                .file("MAPPE/B.DAT", "")
                                .file("MAPPE/BIG.DAT", big)
                                .file("MAPPE/C.DAT", testsupport::sampleContent(1025, 34))
                                .finish();
    Tree expected;
    ASSERT_EQ(extract(member(tar), &expected), 0) << log();
    ASSERT_EQ(expected["MAPPE/INDEX.DAT"], index);
    ASSERT_EQ(expected["MAPPE/BIG.DAT"], big);

    // Blocks: 0 MAPPE/, 1 INDEX header, 2-11 its data, 12 A, 13 its data,
    // 14 B, 15 BIG header, 16.. its data (1172 blocks), then C.
    std::vector<size_t> splits = {1,    100,  511,  512,  513,  612,  900,  1023,
                                  1024, 1025, 2024, 2048, 5120, 6143, 6144, 6145,
                                  7000, 7168, 7680, 7780, 8191, 8192, 8193, 100001};
    for (size_t at : {262144u, 262144u + 512u, 2u * 262144u})
        for (long d = -2; d <= 2; d++)
            splits.push_back(at + d);
    splits.push_back(tar.size() - 10240); // where the end blocks begin
    splits.push_back(tar.size() - 1);
    std::vector<std::pair<std::string, std::string>> archives;
    for (size_t at : splits)
        archives.push_back(
            {"split at " + std::to_string(at), member(tar.substr(0, at)) + member(tar.substr(at))});
    std::string bgzf, sparse;
    for (size_t at = 0; at < tar.size(); at += 65280)
        bgzf += member(tar.substr(at, 65280), true);
    archives.push_back({"BGZF members", bgzf + member("", true)});
    for (size_t at = 0; at < tar.size(); at += 100000)
        sparse += member("") + member(tar.substr(at, 100000));
    archives.push_back({"empty members before, between and after", sparse + member("")});

    for (const auto &a : archives) {
        Tree tree;
        EXPECT_EQ(extract(a.second, &tree), 0) << a.first << "\n" << log();
        EXPECT_TRUE(tree == expected) << a.first;
    }
}

// A reader that broke its contract (a short chunk, then more data) fails
// the extraction with a line naming the archive; the short chunk is not
// zero-filled into the tar stream.
TEST_P(UntgzMembers, ShortChunkBeforeTheEndIsAReadError) {
    const std::string tar = TarBuilder().file("a", testsupport::sampleContent(5000, 35)).finish();
    plat::gzinflate::setReadLimitForTest(1000);
    Tree tree;
    EXPECT_EQ(extract(member(tar), &tree), -1);
    EXPECT_NE(log().find("(DoUnArchive): /DVD/a.tgz: the archive reader returned 1000 bytes of "
                         "262144 before the end of the stream: read error\n"),
              std::string::npos)
        << log();
    EXPECT_NE(log().find("gzread1 error (errno = 0x5)"), std::string::npos) << log();
    EXPECT_TRUE(tree.empty());
}

INSTANTIATE_TEST_SUITE_P(Inflaters, UntgzMembers, ::testing::ValuesIn(backends()),
                         [](const ::testing::TestParamInfo<const Backend *> &info) {
                             return std::string(info.param->name);
                         });

} // namespace
