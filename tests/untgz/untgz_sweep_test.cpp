// Malformed input swept, not sampled: one valid archive cut at every block
// boundary, its compressed form cut all along, and every header field of
// every header corrupted in turn. Each run must end cleanly: a result of 0 or
// -1 with the end message, no task left, nothing written outside the
// destination folder.
#include "tests/untgz/untgz_test_util.h"

using testsupport::TarBuilder;
using testsupport::TarHeader;
using untgztest::Tree;

namespace {

class UntgzSweep : public untgztest::UntgzTest {
protected:
    void SetUp() override {
        UntgzTest::SetUp();
        m_content0 = testsupport::sampleContent(700, 11);
        m_content1 = testsupport::sampleContent(1500, 12);
        m_tar = TarBuilder()
                    .dir("d/")
                    .header(TarHeader::regular("d/one", m_content0.size()).prefix("p"))
                    .data(m_content0)
                    .symlink("d/link", "one")
                    .file("d/two", m_content1)
                    .file("empty", "")
                    .finish();
        // Header blocks: 0 (d/), 1 (p/d/one), 4 (link), 5 (d/two), 9 (empty).
        m_headers = {0, 1, 4, 5, 9};
    }

    // Runs one extraction and checks that it ended cleanly; returns its result.
    int cleanRun(const std::string &archiveBytes, const std::string &what) {
        hostsim::clearCapturedLog();
        testsupport::removeTree(sdDir() + "/out");
        int result = untar(putArchive(archiveBytes));
        EXPECT_TRUE(result == 0 || result == -1) << what;
        EXPECT_NE(log().find("End Untar, returned value : " + std::to_string(result) + "\n"),
                  std::string::npos)
            << what;
        Tree sd = untgztest::snapshot(sdDir());
        for (const auto &entry : sd)
            EXPECT_EQ(entry.first.rfind("out", 0), 0u) << what << ": wrote " << entry.first;
        return result;
    }

    std::string m_content0;
    std::string m_content1;
    std::string m_tar;
    std::vector<size_t> m_headers;
};

TEST_F(UntgzSweep, TarCutAtEveryBlockBoundary) {
    const size_t blocks = m_tar.size() / testsupport::kTarBlock;
    for (size_t cut = 0; cut <= blocks; cut++) {
        const std::string what = "cut at block " + std::to_string(cut);
        std::string tar = testsupport::cut(m_tar, cut * testsupport::kTarBlock);
        // Data missing exactly when the cut falls inside an entry's data: a
        // cut file fails the extraction.
        bool insideData = (cut >= 2 && cut < 4) || (cut >= 6 && cut < 9);
        EXPECT_EQ(cleanRun(testsupport::gzip(tar), what), insideData ? -1 : 0) << what;
        EXPECT_EQ(log().find("Last file might be truncated!") != std::string::npos, insideData)
            << what;
        // What arrived of a file is on disk.
        if (cut >= 2) {
            size_t got = std::min(m_content0.size(), (cut - 2) * testsupport::kTarBlock);
            EXPECT_EQ(testsupport::readFile(host("/SDH/out/p/d/one")), m_content0.substr(0, got))
                << what;
        }
        if (cut >= 6) {
            size_t got = std::min(m_content1.size(), (cut - 6) * testsupport::kTarBlock);
            EXPECT_EQ(testsupport::readFile(host("/SDH/out/d/two")), m_content1.substr(0, got))
                << what;
        }
    }
}

TEST_F(UntgzSweep, CompressedStreamCutAnywhereFails) {
    const std::string tgz = testsupport::gzip(m_tar);
    // About a hundred cuts along the stream, and each of its last 12 bytes
    // (the end of the deflate data and the 8-byte trailer).
    std::vector<size_t> lengths;
    for (size_t length = 1; length + 12 < tgz.size(); length += tgz.size() / 100 + 1)
        lengths.push_back(length);
    for (size_t length = tgz.size() - 12; length < tgz.size(); length++)
        lengths.push_back(length);
    for (size_t length : lengths) {
        const std::string what = "tgz cut at " + std::to_string(length);
        EXPECT_EQ(cleanRun(testsupport::cut(tgz, length), what), -1) << what;
    }
    EXPECT_EQ(cleanRun(tgz, "whole"), 0);
}

TEST_F(UntgzSweep, EveryHeaderFieldCorrupted) {
    struct Corruption {
        const char *what;
        char byte;
        bool fixChecksum;
    };
    const Corruption corruptions[] = {
        {"0xFF, checksum kept", '\xFF', false}, {"'x', checksum fixed", 'x', true},
        {"'7', checksum fixed", '7', true},     {"NUL, checksum fixed", '\0', true},
        {"space, checksum fixed", ' ', true},
    };
    for (size_t header : m_headers) {
        for (const testsupport::TarField &field : testsupport::tarFields()) {
            for (const Corruption &c : corruptions) {
                const std::string what =
                    "header " + std::to_string(header) + " field " + field.name + " " + c.what;
                std::string tar = m_tar;
                const size_t at = header * testsupport::kTarBlock;
                std::string block = tar.substr(at, testsupport::kTarBlock);
                std::string before = block;
                for (size_t i = 0; i < field.width; i++)
                    block[field.offset + i] = c.byte;
                if (c.fixChecksum && std::string(field.name) != "chksum") {
                    unsigned sum = TarHeader::unsignedSum(block);
                    char text[8];
                    snprintf(text, sizeof(text), "%06o", sum);
                    block.replace(148, 8, std::string(text, 6) + std::string("\0 ", 2));
                }
                tar.replace(at, testsupport::kTarBlock, block);
                int result = cleanRun(testsupport::gzip(tar), what);
                // A changed header whose checksum no longer matches is refused.
                if (!c.fixChecksum && block != before) {
                    EXPECT_EQ(result, -1) << what;
                }
            }
        }
    }
}

} // namespace
