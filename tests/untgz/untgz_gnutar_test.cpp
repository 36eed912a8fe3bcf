// Differential check against the system's GNU tar: archives that it writes
// in ustar format extract, byte for byte, to the tree that its own "tar -x"
// gives (regular files and folders; links are not created by the extractor,
// so the tree holds none).
#include "tests/untgz/untgz_test_util.h"

#include <cstdlib>
#include <filesystem>

namespace fs = std::filesystem;

namespace {

class UntgzGnuTar : public untgztest::UntgzTest {
protected:
    void SetUp() override {
        UntgzTest::SetUp();
        if (std::system("tar --version >/dev/null 2>&1") != 0)
            GTEST_SKIP() << "no tar on this machine";
    }

    static std::string quote(const std::string &s) { return "'" + s + "'"; }

    // Makes the source tree under <root>/src.
    void makeTree() {
        const std::string src = root() + "/src";
        fs::create_directories(src + "/empty_dir");
        testsupport::writeFile(src + "/zero", "");
        testsupport::writeFile(src + "/one", "1");
        testsupport::writeFile(src + "/b512", testsupport::sampleContent(512, 1));
        testsupport::writeFile(src + "/b513", testsupport::sampleContent(513, 2));
        testsupport::writeFile(src + "/with space/file name.txt", "spaces");
        testsupport::writeFile(src + "/big.bin",
                               testsupport::sampleContent(UNTGZ_CHUNK_SIZE + 777, 3));
        // A path past 100 characters: ustar stores it with a prefix.
        const std::string deep = std::string(60, 'a') + "/" + std::string(50, 'b') + "/" +
                                 std::string(40, 'c') + "/" + std::string(80, 'f') + ".dat";
        testsupport::writeFile(src + "/" + deep, testsupport::sampleContent(3000, 4));
        for (int i = 0; i < 12; i++)
            testsupport::writeFile(src + "/many/f" + std::to_string(i),
                                   testsupport::sampleContent(static_cast<size_t>(i * 97), 10 + i));
    }
};

TEST_F(UntgzGnuTar, UstarArchivesExtractLikeTarDoes) {
    makeTree();
    const std::string tgz = mediaDir() + "/gnu.tgz";
    const std::string ref = root() + "/ref";
    fs::create_directories(ref);
    ASSERT_EQ(std::system(
                  ("tar --format=ustar -czf " + quote(tgz) + " -C " + quote(root() + "/src") + " .")
                      .c_str()),
              0);
    ASSERT_EQ(std::system(("tar -xzf " + quote(tgz) + " -C " + quote(ref)).c_str()), 0);

    EXPECT_EQ(untar("/DVD/gnu.tgz", "/SDH/out/"), 0) << log();
    untgztest::Tree expected = untgztest::snapshot(ref);
    EXPECT_GE(expected.size(), 20u);
    EXPECT_EQ(outTree(), expected);
    EXPECT_EQ(log().find("WARNING"), std::string::npos) << log();

    // The same archive uncompressed.
    testsupport::removeTree(sdDir() + "/out");
    const std::string tar = mediaDir() + "/gnu.tar";
    ASSERT_EQ(std::system(
                  ("tar --format=ustar -cf " + quote(tar) + " -C " + quote(root() + "/src") + " .")
                      .c_str()),
              0);
    EXPECT_EQ(untar("/DVD/gnu.tar", "/SDH/out/"), 0);
    EXPECT_EQ(outTree(), expected);
}

} // namespace
