// The host kit's card images, their comparison and the card copies.
#include "tools/hostkit/card.h"

#include "tests/support/unit_fixture.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <sys/stat.h>

namespace {

namespace fs = std::filesystem;
using testsupport::writeFile;

class CardImageTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_root = testsupport::makeTempDir("card");
        ASSERT_FALSE(m_root.empty());
        m_card = m_root + "/card";
        ASSERT_TRUE(writeFile(m_card + "/MAPPE/FRA/a.dat", "aaaa"));
        ASSERT_TRUE(writeFile(m_card + "/POI_VER.POI", "VERSION 1\n"));
        ASSERT_TRUE(fs::create_directories(m_card + "/MAPPE/EMPTY"));
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(m_root, ec);
    }
    std::string m_root, m_card;
};

TEST_F(CardImageTest, ImagesFoldersAndFilesAndTellsSameSizeChanges) {
    hostkit::CardImage before;
    ASSERT_TRUE(hostkit::imageCard(m_card, before));
    ASSERT_EQ(before.size(), 5u); // MAPPE, MAPPE/EMPTY, MAPPE/FRA, its file, the POI file
    EXPECT_TRUE(before.at("MAPPE/EMPTY").folder);
    EXPECT_EQ(before.at("MAPPE/FRA/a.dat").size, 4u);

    ASSERT_TRUE(writeFile(m_card + "/MAPPE/FRA/a.dat", "AAAA")); // same size, new bytes
    ASSERT_TRUE(writeFile(m_card + "/MAPPE/ITA/b.dat", "bb"));
    fs::remove(m_card + "/POI_VER.POI");
    hostkit::CardImage after;
    ASSERT_TRUE(hostkit::imageCard(m_card, after));
    std::vector<std::string> seen;
    for (const hostkit::Mismatch &m : hostkit::compareImages(after, before))
        seen.push_back(hostkit::describe(m));
    EXPECT_EQ(seen, (std::vector<std::string>{"MAPPE/FRA/a.dat (other content)",
                                              "MAPPE/ITA (extra)", "MAPPE/ITA/b.dat (extra)",
                                              "POI_VER.POI (missing)"}));
    // Limited to what `keep` takes, on both sides.
    const auto onlyPoi = hostkit::compareImages(
        after, before, [](const std::string &path) { return path == "POI_VER.POI"; });
    ASSERT_EQ(onlyPoi.size(), 1u);
    EXPECT_EQ(onlyPoi[0].kind, hostkit::Mismatch::Missing);
    EXPECT_EQ(onlyPoi[0].expected, 10u);
}

// Neither a link nor a pipe is opened (a pipe would hold the image up for
// ever); either makes the image partial, and a link stops a copy.
TEST_F(CardImageTest, LinksAndPipesMakeTheImagePartialAndALinkStopsTheCopy) {
    ASSERT_TRUE(hostkit::copyCard(m_card, m_root + "/copy"));
    hostkit::CardImage a, b;
    ASSERT_TRUE(hostkit::imageCard(m_card, a));
    ASSERT_TRUE(hostkit::imageCard(m_root + "/copy", b));
    EXPECT_EQ(a, b);
    EXPECT_FALSE(hostkit::copyCard(m_card, m_root + "/copy")); // never over a folder

    ASSERT_EQ(mkfifo((m_card + "/MAPPE/pipe").c_str(), 0600), 0);
    EXPECT_FALSE(hostkit::imageCard(m_card, a));
    EXPECT_EQ(a.count("MAPPE/pipe"), 0u);
    EXPECT_EQ(a.count("MAPPE/FRA/a.dat"), 1u); // the rest is still read
    fs::remove(m_card + "/MAPPE/pipe");

    fs::create_symlink(m_card + "/POI_VER.POI", m_card + "/MAPPE/FRA/link");
    EXPECT_FALSE(hostkit::imageCard(m_card, a));
    errno = 0;
    EXPECT_FALSE(hostkit::copyCard(m_card, m_root + "/copy2"));
    EXPECT_EQ(errno, ELOOP);
    EXPECT_FALSE(fs::exists(m_root + "/copy2"));
    EXPECT_FALSE(hostkit::imageCard(m_root + "/missing", a));
}

} // namespace
