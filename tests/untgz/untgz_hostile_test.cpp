// Damaged, foreign and hostile input: files that are no tar, bad headers
// after good ones, cut or corrupted compressed streams, entries that would
// climb out of the destination folder or need a cut path, oversized size
// fields, and refused parameters.
#include "tests/untgz/untgz_test_util.h"

using testsupport::TarBuilder;
using testsupport::TarHeader;
using untgztest::occurrences;
using untgztest::Tree;

namespace {

class UntgzHostile : public untgztest::UntgzTest {
protected:
    // Everything under the test's root except the destination folder.
    Tree outside() {
        Tree all = untgztest::snapshot(root());
        Tree rest;
        for (const auto &entry : all)
            if (entry.first.rfind("sd/out", 0) != 0 && entry.first != "media/a.tgz")
                rest.insert(entry);
        return rest;
    }
};

TEST_F(UntgzHostile, FileThatIsNoTarArchive) {
    struct Case {
        const char *what;
        std::string bytes;
        bool compress;
        const char *message;
    };
    const Case cases[] = {
        {"text", std::string(700, 'T'), true, "/DVD/a.tgz: not a valid tar file\n"},
        {"short text", "hello\n", false, "/DVD/a.tgz: not a valid tar file\n"},
        // Shaped like a header (byte 99 NUL, a digit first in the size
        // field) but no checksum matches.
        {"zeros and digits", std::string(124, 'n') + std::string(12, '1') + std::string(376, '\0'),
         true, "/DVD/a.tgz: header has bad checksum for /SDH/out/"},
    };
    for (const Case &c : cases) {
        hostsim::clearCapturedLog();
        std::string bytes = c.bytes;
        if (c.what == std::string("zeros and digits"))
            bytes[99] = '\0';
        EXPECT_EQ(untar(putArchive(c.compress ? testsupport::gzip(bytes) : bytes)), -1) << c.what;
        EXPECT_NE(log().find(c.message), std::string::npos) << c.what << "\n" << log();
        EXPECT_EQ(log().find("Garbage detected"), std::string::npos) << c.what;
        EXPECT_NE(log().find("(DoUnArchive): write task error!!\n"), std::string::npos);
        EXPECT_TRUE(outTree().empty()) << c.what;
    }
}

TEST_F(UntgzHostile, BadHeaderAfterGoodOnesIsGarbage) {
    TarBuilder tar;
    tar.file("good1", "1").file("good2", "22");
    tar.header(TarHeader::regular("bad", 3).checksumOffset(1)).data("333");
    tar.file("never", "4");
    EXPECT_EQ(untar(putTgz(tar.finish())), -1);
    const std::string text = log();
    size_t garbage = text.find("WARNING: Garbage detected; preceding file may be damaged\n");
    size_t checksum = text.find("/DVD/a.tgz: header has bad checksum for /SDH/out/bad\n");
    EXPECT_NE(garbage, std::string::npos);
    EXPECT_NE(checksum, std::string::npos);
    EXPECT_LT(garbage, checksum);
    EXPECT_NE(text.find("(StaticWriteTask): p_instance->UntarBlock return ERROR\n"),
              std::string::npos);
    EXPECT_EQ(outTree(), (Tree{{"good1", "1"}, {"good2", "22"}}));
}

TEST_F(UntgzHostile, DamagedHeaderInSecondChunkKeepsTheFirstChunksFiles) {
    TarBuilder tar;
    tar.file("first", std::string(UNTGZ_CHUNK_SIZE - 2048, 'a'));
    tar.file("second", "b"); // ends the first chunk
    tar.header(TarHeader::regular("bad", 1).checksumOffset(-3)).data("c");
    tar.file("third", "d");
    ASSERT_GT(tar.bytes().size(), static_cast<size_t>(UNTGZ_CHUNK_SIZE));
    EXPECT_EQ(untar(putTgz(tar.finish())), -1);
    Tree tree = outTree();
    EXPECT_EQ(tree.size(), 2u);
    EXPECT_EQ(tree["second"], "b");
    EXPECT_EQ(tree["first"].size(), static_cast<size_t>(UNTGZ_CHUNK_SIZE - 2048));
    EXPECT_NE(log().find("(DoUnArchive): write task error!!\n"), std::string::npos);
}

TEST_F(UntgzHostile, EntriesThatLeaveTheDestinationAreRefused) {
    struct Case {
        std::string prefix;
        std::string name;
    };
    const Case cases[] = {
        {"", "../x"},       {"", "a/../../x"}, {"", "..\\x"},      {"", "a/.."},
        {"", "/../x"},      {"", "..//x"},     {"..", "x"},        {"a", "../../x"},
        {"a\\..\\..", "x"}, {"", "../"},       {"", "a/..\\../x"},
    };
    for (const Case &c : cases) {
        hostsim::clearCapturedLog();
        testsupport::removeTree(sdDir() + "/out");
        const Tree before = outside();
        TarBuilder tar;
        tar.file("ok", "fine");
        tar.header(TarHeader::regular(c.name, 5).prefix(c.prefix)).data("owned");
        tar.file("after", "never");
        EXPECT_EQ(untar(putTgz(tar.finish()), "/SDH/out/sub/"), -1) << c.prefix << "|" << c.name;
        EXPECT_NE(log().find("path leaves the destination folder, entry refused: /SDH/out/sub/"),
                  std::string::npos)
            << c.prefix << "|" << c.name << "\n"
            << log();
        EXPECT_EQ(outTree(), (Tree{{"sub", "<dir>"}, {"sub/ok", "fine"}}))
            << c.prefix << "|" << c.name;
        EXPECT_EQ(outside(), before) << c.prefix << "|" << c.name;
    }
}

TEST_F(UntgzHostile, DotsThatStayInsideAreKept) {
    TarBuilder tar;
    tar.file("..a", "1").file("a../b", "2").file("./c", "3").file("...", "4");
    EXPECT_EQ(untar(putTgz(tar.finish())), 0);
    EXPECT_EQ(outTree(),
              (Tree{{"..a", "1"}, {"a..", "<dir>"}, {"a../b", "2"}, {"c", "3"}, {"...", "4"}}));
}

TEST_F(UntgzHostile, DotDotMadeAtTheJoinWithTheFolderIsRefused) {
    // The folder ends in "." and the entry starts with ".": joined they make
    // "..", which climbs out of the folder.
    testsupport::writeFile(sdDir() + "/out/d/.keep", "");
    TarBuilder tar;
    tar.file(".\\x", "owned");
    EXPECT_EQ(untar(putTgz(tar.finish()), "/SDH/out/d/."), -1);
    EXPECT_NE(log().find("entry refused: /SDH/out/d/../x"), std::string::npos) << log();
    EXPECT_FALSE(testsupport::fileExists(sdDir() + "/out/x"));
}

TEST_F(UntgzHostile, PathsLongerThanTheNameBufferAreRefusedNotCut) {
    // "/SDH/out/" (9) + prefix + "/" + name: 255 characters fit, 256 do not.
    const std::string name(99, 'n');
    const std::string fits(255 - 9 - 1 - 99, 'p');
    const std::string tooLong(fits.size() + 1, 'p');
    TarBuilder tar;
    tar.header(TarHeader::regular(name, 2).prefix(fits)).data("ok");
    tar.header(TarHeader::regular(name, 3).prefix(tooLong)).data("cut");
    tar.file("after", "never");
    EXPECT_EQ(untar(putTgz(tar.finish())), -1);
    EXPECT_NE(log().find("path too long, entry refused: /SDH/out/" + tooLong + "/" + name + "\n"),
              std::string::npos)
        << log();
    EXPECT_EQ(outTree(), (Tree{{fits, "<dir>"}, {fits + "/" + name, "ok"}}));

    // An overlong prefix and name under a long folder.
    hostsim::clearCapturedLog();
    testsupport::removeTree(sdDir() + "/out");
    TarBuilder longer;
    longer.header(TarHeader::regular(name, 1).prefix(std::string(155, 'q'))).data("x");
    EXPECT_EQ(untar(putTgz(longer.finish()), "/SDH/out/" + std::string(100, 'f') + "/"), -1);
    EXPECT_NE(log().find("path too long, entry refused"), std::string::npos);
    EXPECT_TRUE(outTree().empty());
}

TEST_F(UntgzHostile, SizeFieldOver32BitsIsABadHeader) {
    for (uint64_t size : {uint64_t(1) << 32, (uint64_t(1) << 33) + 5, (uint64_t(1) << 36) - 1}) {
        hostsim::clearCapturedLog();
        testsupport::removeTree(sdDir() + "/out");
        TarBuilder tar;
        tar.file("ok", "1").header(TarHeader::regular("huge", size)).data("x").file("after", "2");
        EXPECT_EQ(untar(putTgz(tar.finish())), -1) << size;
        EXPECT_NE(log().find("size field over 4 GiB, entry refused: /SDH/out/huge\n"),
                  std::string::npos)
            << size;
        EXPECT_EQ(outTree(), (Tree{{"ok", "1"}})) << size;
    }
    // The largest 32-bit size is a size like any other (here cut short).
    hostsim::clearCapturedLog();
    TarBuilder tar;
    tar.header(TarHeader::regular("max", 0xFFFFFFFFu)).data(std::string(1024, 'm'));
    EXPECT_EQ(untar(putTgz(tar.bytes())), -1);
    EXPECT_NE(log().find("(4294967295 bytes, 8388608 tape blocks)"), std::string::npos);
    EXPECT_NE(log().find("Last file might be truncated"), std::string::npos);
}

TEST_F(UntgzHostile, CompressedStreamCutShortIsAnError) {
    std::string tar = TarBuilder()
                          .file("a", testsupport::sampleContent(5000, 1))
                          .file("b", testsupport::sampleContent(300000, 2))
                          .finish();
    std::string tgz = testsupport::gzip(tar);
    // Inside the deflate data, in the 8-byte trailer, and one byte short.
    for (size_t length : {tgz.size() / 2, tgz.size() - 6, tgz.size() - 1}) {
        hostsim::clearCapturedLog();
        EXPECT_EQ(untar(putArchive(testsupport::cut(tgz, length))), -1) << length;
        EXPECT_NE(log().find("(DoUnArchive): /DVD/a.tgz: compressed data damaged or cut short"),
                  std::string::npos)
            << length << "\n"
            << log();
        EXPECT_NE(log().find("End Untar, returned value : -1"), std::string::npos);
    }
}

TEST_F(UntgzHostile, CorruptedCompressedStreamIsAnError) {
    std::string tar = TarBuilder().file("a", testsupport::sampleContent(200000, 3)).finish();
    std::string tgz = testsupport::gzip(tar);
    std::string crc = tgz;
    crc[crc.size() - 6] ^= 0x55; // CRC-32 of the trailer
    EXPECT_EQ(untar(putArchive(crc)), -1);
    std::string mid = tgz;
    for (size_t i = mid.size() / 2; i < mid.size() / 2 + 64; i++)
        mid[i] = static_cast<char>(~mid[i]);
    EXPECT_EQ(untar(putArchive(mid)), -1);
}

TEST_F(UntgzHostile, RefusedParameters) {
    const std::string archive = putTgz(TarBuilder().file("a", "1").finish());
    struct Case {
        int verbose;
        int absPath;
        const char *message;
    };
    const Case cases[] = {{2, 1, "(Untar): parameter error (p_verbose == 2)\n"},
                          {-1, 0, "(Untar): parameter error (p_verbose == -1)\n"},
                          {0, 2, "(Untar): parameter error (p_abs_path == 2)\n"}};
    for (const Case &c : cases) {
        hostsim::clearCapturedLog();
        EXPECT_EQ(untar(archive, "/SDH/out/", c.verbose, c.absPath), -1);
        EXPECT_NE(log().find(c.message), std::string::npos) << log();
        EXPECT_EQ(log().find("End Untar"), std::string::npos);
    }

    // Paths of 255 characters or more would not fit: refused, never cut.
    const std::string longArchive = "/DVD/" + std::string(250, 'a');
    const std::string longFolder = "/SDH/" + std::string(250, 'f');
    hostsim::clearCapturedLog();
    EXPECT_EQ(untar(longArchive, "/SDH/out/"), -1);
    EXPECT_NE(log().find("(Untar): parameter error (p_tar_file of 255 characters or more, at most "
                         "254)\n"),
              std::string::npos)
        << log();
    hostsim::clearCapturedLog();
    EXPECT_EQ(untar(archive, longFolder), -1);
    EXPECT_NE(log().find("(Untar): parameter error (p_dest_folder of 255 characters or more"),
              std::string::npos);
    EXPECT_EQ(log().find("Begin Untar"), std::string::npos);
    // 254 characters are accepted (this archive does not exist).
    hostsim::clearCapturedLog();
    EXPECT_EQ(untar(longArchive.substr(0, 254), "/SDH/out/"), -1);
    EXPECT_NE(log().find("(DoUnArchive): gzopen (" + longArchive.substr(0, 254) + ") : ERROR"),
              std::string::npos);
    EXPECT_TRUE(outTree().empty());
}

} // namespace
