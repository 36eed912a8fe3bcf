// Extraction of well-formed archives: file sizes around block and chunk
// boundaries, the entry types, path composition and the header quirks that
// real archives carry (signed checksums, odd size fields, prefix fields).
#include "tests/untgz/untgz_test_util.h"

#include <unistd.h>

using testsupport::TarBuilder;
using testsupport::TarHeader;
using untgztest::occurrences;
using untgztest::Tree;

namespace {

class UntgzEntries : public untgztest::UntgzTest {};

TEST_F(UntgzEntries, FileSizesAroundBlockAndChunkBoundaries) {
    const size_t chunk = UNTGZ_CHUNK_SIZE;
    const std::vector<size_t> sizes = {
        0, 1, 511, 512, 513, chunk - 1024, chunk - 512, chunk, chunk + 1, 2 * chunk + 700};
    TarBuilder tar;
    Tree expected;
    for (size_t i = 0; i < sizes.size(); i++) {
        std::string name = "f" + std::to_string(i) + ".bin";
        std::string content = testsupport::sampleContent(sizes[i], static_cast<uint32_t>(i));
        tar.file(name, content);
        expected[name] = content;
    }
    // Plain tar and gzip-compressed tar extract alike.
    EXPECT_EQ(untar(putTgz(tar.finish())), 0);
    EXPECT_EQ(outTree(), expected);
    testsupport::removeTree(sdDir() + "/out");
    EXPECT_EQ(untar(putArchive(tar.finish(), "plain.tar")), 0);
    EXPECT_EQ(outTree(), expected);
    EXPECT_EQ(occurrences(log(), "might be truncated"), 0);
}

TEST_F(UntgzEntries, VerboseSummaryCountsBytesAndTapeBlocks) {
    struct Case {
        size_t size;
        const char *summary;
    };
    const Case cases[] = {{0, "(0 bytes, 0 tape blocks)"},
                          {1, "(1 byte, 1 tape block)"},
                          {512, "(512 bytes, 1 tape block)"},
                          {513, "(513 bytes, 2 tape blocks)"}};
    for (const Case &c : cases) {
        hostsim::clearCapturedLog();
        std::string content(c.size, 'z');
        EXPECT_EQ(untar(putTgz(TarBuilder().file("x.dat", content).finish())), 0);
        EXPECT_NE(log().find("(UntarBlock): - /SDH/out/x.dat\n"), std::string::npos);
        EXPECT_NE(log().find(std::string("(UntarBlock): ") + c.summary + "\n"), std::string::npos)
            << c.size;
        EXPECT_EQ(testsupport::readFile(host("/SDH/out/x.dat")), content);
    }
}

TEST_F(UntgzEntries, DriverLogsBeginPauseAndEnd) {
    EXPECT_EQ(untar(putTgz(TarBuilder().file("a", "1").finish())), 0);
    const std::string text = log();
    EXPECT_NE(text.find("(Untar Version 'KLOD_1.08'): Begin Untar '/DVD/a.tgz' to '/SDH/out/'\n"),
              std::string::npos);
    // A clean run makes exactly one pause of 50 ticks.
    EXPECT_EQ(occurrences(text, "(Untar): taskDelay(50)\n"), 1);
    EXPECT_NE(text.find("(Untar): End Untar, returned value : 0\n"), std::string::npos);
    EXPECT_EQ(text.find("(Untar): m_sem_write is NULL"), std::string::npos);
}

TEST_F(UntgzEntries, EntryTypes) {
    TarBuilder tar;
    tar.dir("d/")
        .file("d/f", "data")
        .header(TarHeader::regular("d/e/", 0)) // typeflag 0, name ends in "/"
        .header(TarHeader::link("d/sym", "f", true).size(1024))
        .data(std::string(1024, 'L')) // a link's size is not honoured: read as headers
        .hardlink("d/hard", "d/f")
        .special("d/chr", '3')
        .special("d/blk", '4')
        .special("d/fifo", '6')
        .header(TarHeader::regular("d/contig", 3).typeflag('7'))
        .data("abc")
        .header(TarHeader::regular("d/gnu", 2).typeflag('K'))
        .data("xy");
    // The symlink's 1024 data bytes are read as a header ("LLL..." has byte 99
    // set): garbage. The same archive without those bytes extracts.
    TarBuilder good;
    good.dir("d/")
        .file("d/f", "data")
        .header(TarHeader::regular("d/e/", 0))
        .header(TarHeader::link("d/sym", "f", true).size(1024))
        .hardlink("d/hard", "d/f")
        .special("d/chr", '3')
        .special("d/blk", '4')
        .special("d/fifo", '6')
        .header(TarHeader::regular("d/contig", 3).typeflag('7'))
        .data("abc")
        .header(TarHeader::regular("d/gnu", 2).typeflag('K'))
        .data("xy");
    EXPECT_EQ(untar(putTgz(good.finish())), 0);
    Tree expected = {
        {"d", "<dir>"}, {"d/f", "data"}, {"d/e", "<dir>"}, {"d/contig", "abc"}, {"d/gnu", "xy"}};
    EXPECT_EQ(outTree(), expected);
    const std::string text = log();
    EXPECT_NE(text.find("(UntarBlock): d /SDH/out/d/\n"), std::string::npos);
    EXPECT_NE(text.find("(UntarBlock):  created\n"), std::string::npos);
    EXPECT_NE(text.find("(UntarBlock): d /SDH/out/d/e/\n"), std::string::npos);
    EXPECT_NE(text.find("(UntarBlock): l /SDH/out/d/sym\n"), std::string::npos);
    EXPECT_NE(text.find("(UntarBlock): h /SDH/out/d/hard\n"), std::string::npos);
    EXPECT_NE(text.find("(UntarBlock): c /SDH/out/d/chr\n"), std::string::npos);
    EXPECT_NE(text.find("(UntarBlock): b /SDH/out/d/blk\n"), std::string::npos);
    EXPECT_NE(text.find("(UntarBlock): p /SDH/out/d/fifo\n"), std::string::npos);
    EXPECT_EQ(occurrences(text, "(UntarBlock): ignored\n"), 5);

    hostsim::clearCapturedLog();
    EXPECT_EQ(untar(putTgz(tar.finish())), -1);
    EXPECT_NE(log().find("WARNING: Garbage detected"), std::string::npos);
}

TEST_F(UntgzEntries, ExistingDirectoryIsIgnoredNotAnError) {
    EXPECT_EQ(untar(putTgz(TarBuilder().dir("d/").dir("d/").file("d/x", "1").finish())), 0);
    EXPECT_EQ(occurrences(log(), "(UntarBlock):  ignored\n"), 1);
    EXPECT_EQ(testsupport::readFile(host("/SDH/out/d/x")), "1");
}

TEST_F(UntgzEntries, DirectoryWithSizeSkipsItsDataBlocks) {
    TarBuilder tar;
    tar.header(TarHeader::directory("d/").size(600)).data(std::string(600, 'D')).file("d/x", "ok");
    EXPECT_EQ(untar(putTgz(tar.finish())), 0);
    EXPECT_EQ(outTree(), (Tree{{"d", "<dir>"}, {"d/x", "ok"}}));
}

TEST_F(UntgzEntries, PrefixFieldIsJoinedWithASlash) {
    const std::string prefix(150, 'p');
    TarBuilder tar;
    tar.header(TarHeader::regular("name.txt", 2).prefix(prefix)).data("hi");
    // A prefix that fills its 155 bytes has no NUL.
    tar.header(TarHeader::regular("n", 1).prefix(std::string(155, 'q'))).data("!");
    EXPECT_EQ(untar(putTgz(tar.finish()), "/SDH/"), 0);
    EXPECT_EQ(testsupport::readFile(host("/SDH/" + prefix + "/name.txt")), "hi");
    EXPECT_EQ(testsupport::readFile(host("/SDH/" + std::string(155, 'q') + "/n")), "!");
}

TEST_F(UntgzEntries, SignedChecksumAndOddSizeFieldsAreAccepted) {
    // A name with bytes of 0x80 and above: only the signed sum matches.
    const std::string name = "caf\xC3\xA9-\xFF.txt";
    TarBuilder tar;
    tar.header(TarHeader::regular(name, 4).checksum(TarHeader::Checksum::Signed)).data("sign");
    // The digits 0, 0, 1 and 2 separated by spaces and NULs: octal 12.
    tar.header(TarHeader::regular("spaced", 0).sizeField(std::string("0 0\0001 2   \0", 12)))
        .data("0123456789");
    // Digits 8 and 9 and letters are skipped as well.
    tar.header(TarHeader::regular("skipped", 0).sizeField(std::string(" 9x1 8\0\0\0\0\0\0", 12)))
        .data("!");
    EXPECT_NE(TarHeader::unsignedSum(TarHeader::regular(name, 4).block()),
              static_cast<unsigned>(TarHeader::signedSum(TarHeader::regular(name, 4).block())));
    EXPECT_EQ(untar(putTgz(tar.finish())), 0);
    EXPECT_EQ(outTree(), (Tree{{name, "sign"}, {"spaced", "0123456789"}, {"skipped", "!"}}));
}

TEST_F(UntgzEntries, AllZeroBlockInsideDataIsData) {
    std::string content = std::string(512, '\0') + "tail";
    EXPECT_EQ(untar(putTgz(TarBuilder().file("z", content).file("after", "x").finish())), 0);
    EXPECT_EQ(outTree(), (Tree{{"z", content}, {"after", "x"}}));
}

TEST_F(UntgzEntries, SlashesAndBackslashesAreNormalised) {
    TarBuilder tar;
    tar.header(TarHeader::regular("a//b\\c", 1)).data("1");
    tar.header(TarHeader::regular("\\\\lead", 1)).data("2");
    EXPECT_EQ(untar(putTgz(tar.finish()), "/SDH/MAPPE/"), 0);
    EXPECT_EQ(testsupport::readFile(host("/SDH/MAPPE/a/b/c")), "1");
    EXPECT_EQ(testsupport::readFile(host("/SDH/MAPPE/lead")), "2");
    EXPECT_NE(log().find("(UntarBlock): - /SDH/MAPPE/a/b/c\n"), std::string::npos);
    EXPECT_EQ(log().find("Removed leading slashes"), std::string::npos);
}

TEST_F(UntgzEntries, WithoutAbsPathTheLeadingSlashGoesAndIsWarnedAbout) {
    // The composed path becomes relative to the current directory.
    char previous[4096];
    ASSERT_NE(getcwd(previous, sizeof(previous)), nullptr);
    ASSERT_EQ(chdir(root().c_str()), 0);
    TarBuilder tar;
    tar.header(TarHeader::regular("a//b\\c", 1)).data("1");
    int result = untar(putTgz(tar.finish()), "/SDH/MAPPE/", 1, 0);
    ASSERT_EQ(chdir(previous), 0);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(testsupport::readFile(root() + "/SDH/MAPPE/a/b/c"), "1");
    EXPECT_NE(log().find("(UntarBlock): - SDH/MAPPE/a/b/c\n"), std::string::npos);
    // Once per end-of-archive block met after the slash was removed.
    EXPECT_EQ(occurrences(log(), "WARNING: Removed leading slashes because \"-p\" wasn't given.\n"),
              2);
}

TEST_F(UntgzEntries, ListingOnTheConsoleWhenNotVerbose) {
    TarBuilder tar;
    tar.dir("d/").file("d/x.dat", "1");
    testing::internal::CaptureStdout();
    int result = untar(putTgz(tar.finish()), "/SDH/out/", 0, 1);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(result, 0);
    // The console's lines, never the process's standard output.
    EXPECT_EQ(hostsim::capturedText(hostsim::LogSource::Console),
              "(UntarBlock) /SDH/out/d/\n(UntarBlock) ./x.dat\n");
    EXPECT_EQ(out, "");
    EXPECT_EQ(log().find("(UntarBlock): - "), std::string::npos);
}

TEST_F(UntgzEntries, TruncatedTarContentWarnsAndFails) {
    std::string content = testsupport::sampleContent(3000, 7);
    std::string tar = TarBuilder().file("a", "A").file("big", content).bytes();
    tar.resize(tar.size() - 1024); // two data blocks missing, no end blocks
    EXPECT_EQ(untar(putTgz(tar)), -1);
    EXPECT_NE(log().find("(DoUnArchive): WARNING: Last file might be truncated!\n"),
              std::string::npos);
    EXPECT_EQ(testsupport::readFile(host("/SDH/out/big")), content.substr(0, 2048));
}

TEST_F(UntgzEntries, ShortLastChunkIsZeroFilled) {
    // The third chunk stops 700 bytes into the data of "x"; the rest of its
    // last block must read as zeros, not as an earlier chunk's 'F' bytes.
    std::string tar = TarBuilder()
                          .file("big", std::string(2 * UNTGZ_CHUNK_SIZE, 'F'))
                          .file("x", std::string(1000, 'x'))
                          .bytes();
    tar.resize(2 * UNTGZ_CHUNK_SIZE + 1024 + 700);
    EXPECT_EQ(untar(putTgz(tar)), -1); // the file is cut
    EXPECT_NE(log().find("archive ends inside the data of /SDH/out/x\n"), std::string::npos);
    EXPECT_EQ(testsupport::readFile(host("/SDH/out/x")),
              std::string(700, 'x') + std::string(300, '\0'));
}

TEST_F(UntgzEntries, EmptyStreamExtractsNothing) {
    size_t before = hostsim::spawnedTasks().size();
    EXPECT_EQ(untar(putTgz("")), 0);
    EXPECT_TRUE(outTree().empty());
    // One writer, with nothing to parse.
    EXPECT_EQ(hostsim::spawnedTasks().size(), before + 1);
}

} // namespace
