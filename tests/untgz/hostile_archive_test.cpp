// Hostile, damaged and foreign archives, one table row each: names that
// climb out with ".." in every position (also written with backslashes and
// in the prefix field, and made at the join with the destination folder),
// absolute names with and without the leading slash kept, names and prefixes
// that fill their fields, composed paths around the 255-character limit,
// every checksum fault, bad headers after good ones (also in a later chunk),
// files that are no tar, odd and oversized size fields, data that is missing
// or cut, cut, damaged and concatenated gzip streams, a plain tar, an empty
// file, 20000 entries, names that differ in case only, special entries that
// announce data, and the parameters Untar refuses.
//
// Every row states the extraction's result, what must be on disk afterwards
// and, where it matters, the log lines (in their order) and texts the log
// must not hold; every row also checks that nothing at all was written
// outside the destination folder, that no task is left and that no
// extraction is reported in progress.
#include "tests/support/tar_builder.h"
#include "tests/support/unit_fixture.h"
#include "untgz/C_UNTGZ.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <map>
#include <ostream>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

namespace fs = std::filesystem;
using testsupport::TarBuilder;
using testsupport::TarHeader;

namespace {

// Relative path under the destination -> content ("<dir>" for a folder).
using Tree = std::map<std::string, std::string>;
const char k_dir[] = "<dir>";
// A row whose extracted tree is not compared (only a few paths are checked).
const Tree k_any = {{"*", "*"}};

// Texts the log must hold, in this order: none (nullptr), one, or a list.
struct Lines {
    Lines(std::nullptr_t) {}
    Lines(const char *text) : texts{text} {}
    Lines(std::string text) : texts{std::move(text)} {}
    Lines(std::initializer_list<std::string> list) : texts(list) {}
    std::vector<std::string> texts;
};

struct Row {
    const char *name;
    std::function<std::string()> archive;                       // the bytes of "/DVD/a.tgz"
    int absPath;                                                // p_abs_path of the extraction
    int result;                                                 // expected result of Untar
    Tree tree;                                                  // expected tree under "/SDH/out/"
    Lines log;                                                  // texts the log must hold, in order
    std::string dest = "/SDH/out/";                             // p_dest_folder
    std::vector<std::string> absent = {};                       // texts the log must not hold
    std::function<void(const std::string &)> prepare = nullptr; // given the SD card's folder
    std::string archivePath = "/DVD/a.tgz";                     // p_tar_file
    int verbose = 1;                                            // p_verbose
};

// gtest names a failing row by its name, not its bytes.
void PrintTo(const Row &row, std::ostream *out) {
    *out << row.name;
}

std::string tgz(const TarBuilder &t) {
    return testsupport::gzip(t.finish());
}

// A path of exactly `length` characters: components of 50 characters
// separated by "/" (the last one may be shorter).
std::string pathOfLength(size_t length) {
    std::string path;
    for (size_t i = 0; i < length; ++i)
        path += (i % 51 == 50) ? '/' : 'p';
    return path;
}

// The header of a regular file `name` with `content`, as one block string.
std::string fileBlocks(const std::string &name, const std::string &content) {
    return TarBuilder().file(name, content).bytes();
}

// A gzip stream with its trailer's byte at `fromEnd` (1 = last) changed.
std::string gzipTrailerFlipped(size_t fromEnd) {
    std::string gz = tgz(TarBuilder().file("f", "data"));
    gz[gz.size() - fromEnd] ^= 0x5a;
    return gz;
}

// The tree made by one file at `path` (its folders included).
Tree treeFor(const std::string &path, const std::string &content) {
    Tree t;
    for (size_t at = path.find('/'); at != std::string::npos; at = path.find('/', at + 1))
        t[path.substr(0, at)] = k_dir;
    t[path] = content;
    return t;
}

// A file entry whose path is `length` characters long (at most 255): the
// part that does not fit the name field goes into the prefix field.
TarBuilder entryOfLength(size_t length) {
    const std::string all = pathOfLength(length);
    TarBuilder t;
    if (all.size() <= 99)
        return t.file(all, "L");
    // The last "/" that leaves at most 155 characters before it and 99 after.
    size_t cut = all.rfind('/', 155);
    t.header(TarHeader::regular(all.substr(cut + 1), 1).prefix(all.substr(0, cut))).data("L");
    return t;
}

// A destination folder of 54 characters.
const char k_long_dest[] = "/SDH/out/DDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDD/";

// An entry `prefix`|`name` that climbs out of "/SDH/out/sub/", between a
// good entry (kept) and one that is never reached.
Row climbsOutBetweenGoodOnes(const char *rowName, const std::string &prefix,
                             const std::string &name) {
    return {rowName,
            [prefix, name] {
                return tgz(TarBuilder()
                               .file("ok", "fine")
                               .header(TarHeader::regular(name, 5).prefix(prefix))
                               .data("owned")
                               .file("after", "never"));
            },
            1,
            -1,
            {{"sub", k_dir}, {"sub/ok", "fine"}},
            "path leaves the destination folder, entry refused: /SDH/out/sub/",
            "/SDH/out/sub/"};
}

// A size field of `size` (past 32 bits) between two good entries: refused,
// the one before it kept.
Row sizeFieldRefused(const char *rowName, uint64_t size) {
    return {rowName,
            [size] {
                return tgz(TarBuilder()
                               .file("ok", "1")
                               .header(TarHeader::regular("huge", size))
                               .data("x")
                               .file("after", "2"));
            },
            1,
            -1,
            {{"ok", "1"}},
            "size field over 4 GiB, entry refused: /SDH/out/huge\n"};
}

// A gzip stream of two files (the second one past a chunk) cut to its
// first `length(size)` bytes.
Row gzipCut(const char *rowName, std::function<size_t(size_t)> length) {
    return {rowName,
            [length] {
                const std::string gz = tgz(TarBuilder()
                                               .file("a", testsupport::sampleContent(5000, 1))
                                               .file("b", testsupport::sampleContent(300000, 2)));
                return testsupport::cut(gz, length(gz.size()));
            },
            1,
            -1,
            k_any,
            {"(DoUnArchive): /DVD/a.tgz: compressed data damaged or cut short",
             "End Untar, returned value : -1"}};
}

// A gzip stream of one file over several chunks, `damage` applied to it.
std::function<std::string()> damagedGzip(std::function<void(std::string &)> damage) {
    return [damage] {
        std::string gz = tgz(TarBuilder().file("a", testsupport::sampleContent(200000, 3)));
        damage(gz);
        return gz;
    };
}

// Bytes that are no tar archive: nothing is extracted, the writer's verdict
// is logged and the reader reports the writer's error.
Row noTar(const char *rowName, std::function<std::string()> bytes, const char *verdict) {
    return {rowName,     bytes,
            1,           -1,
            {},          {verdict, "(DoUnArchive): write task error!!\n"},
            "/SDH/out/", {"Garbage detected"}};
}

// An archive of one small file, for the rows whose parameters are refused.
std::string oneSmallFile() {
    return tgz(TarBuilder().file("a", "1"));
}

// Rows: ".." in every position.
std::vector<Row> dotDotRows() {
    return {
        {"DotDotFirst",
         [] { return tgz(TarBuilder().file("../evil", "x")); },
         1,
         -1,
         {},
         "path leaves the destination folder"},
        {"DotDotMiddle",
         [] { return tgz(TarBuilder().file("a/../../evil", "x")); },
         1,
         -1,
         {},
         "path leaves the destination folder"},
        {"DotDotLast",
         [] { return tgz(TarBuilder().file("a/..", "x")); },
         1,
         -1,
         {},
         "path leaves the destination folder"},
        {"DotDotDeep",
         [] { return tgz(TarBuilder().file("a/b/c/../../../../evil", "x")); },
         1,
         -1,
         {},
         "path leaves the destination folder"},
        {"DotDotBackslashes",
         [] { return tgz(TarBuilder().file("..\\..\\evil", "x")); },
         1,
         -1,
         {},
         "path leaves the destination folder"},
        {"DotDotMixedSeparators",
         [] { return tgz(TarBuilder().file("a\\../..\\evil", "x")); },
         1,
         -1,
         {},
         "path leaves the destination folder"},
        {"DotDotInPrefix",
         [] {
             return tgz(TarBuilder().header(TarHeader::regular("evil", 1).prefix("..")).data("x"));
         },
         1,
         -1,
         {},
         "path leaves the destination folder"},
        {"DotDotRelativeMode",
         [] { return tgz(TarBuilder().file("../evil", "x")); },
         0,
         -1,
         {},
         "path leaves the destination folder"},
        {"DotDotAfterGoodEntriesKeepsThem",
         [] { return tgz(TarBuilder().file("good", "g").dir("d/").file("d/../../evil", "x")); },
         1,
         -1,
         {{"good", "g"}, {"d", k_dir}},
         "path leaves the destination folder"},
        {"DotsThatStayInside",
         [] {
             return tgz(TarBuilder()
                            .file("...", "3")
                            .file("..x", "4")
                            .file("./a/./b", "5")
                            .file("..a", "1")
                            .file("a../b", "2")
                            .file("./c", "6"));
         },
         1,
         0,
         {{"...", "3"},
          {"..x", "4"},
          {"a", k_dir},
          {"a/b", "5"},
          {"..a", "1"},
          {"a..", k_dir},
          {"a../b", "2"},
          {"c", "6"}},
         nullptr},

    };
}

// Rows: entries that climb out after a good one, and ".." made at the join
// with the destination folder.
std::vector<Row> climbOutRows() {
    return {
        climbsOutBetweenGoodOnes("BetweenGoodDotDotName", "", "../x"),
        climbsOutBetweenGoodOnes("BetweenGoodDotDotPastAFolder", "", "a/../../x"),
        climbsOutBetweenGoodOnes("BetweenGoodDotDotBackslash", "", "..\\x"),
        climbsOutBetweenGoodOnes("BetweenGoodFolderThenDotDot", "", "a/.."),
        climbsOutBetweenGoodOnes("BetweenGoodSlashDotDot", "", "/../x"),
        climbsOutBetweenGoodOnes("BetweenGoodDotDotDoubleSlash", "", "..//x"),
        climbsOutBetweenGoodOnes("BetweenGoodDotDotPrefix", "..", "x"),
        climbsOutBetweenGoodOnes("BetweenGoodPrefixThenDotDotName", "a", "../../x"),
        climbsOutBetweenGoodOnes("BetweenGoodDotDotBackslashPrefix", "a\\..\\..", "x"),
        climbsOutBetweenGoodOnes("BetweenGoodDotDotFolderEntry", "", "../"),
        climbsOutBetweenGoodOnes("BetweenGoodDotDotMixedSeparators", "", "a/..\\../x"),
        // The folder ends in "." and the entry starts with ".": joined they
        // make "..", which climbs out of the folder.
        {"DotDotMadeAtTheJoinWithTheFolder",
         [] { return tgz(TarBuilder().file(".\\x", "owned")); },
         1,
         -1,
         {{"d", k_dir}, {"d/.keep", ""}},
         "entry refused: /SDH/out/d/../x",
         "/SDH/out/d/.",
         {},
         [](const std::string &sd) {
             ASSERT_TRUE(testsupport::writeFile(sd + "/out/d/.keep", ""));
         }},
    };
}

// Rows: absolute names.
std::vector<Row> absoluteNameRows() {
    return {
        {"AbsoluteNameKeptUnderDestination",
         [] { return tgz(TarBuilder().file("/etc/evil", "x")); },
         1,
         0,
         {{"etc", k_dir}, {"etc/evil", "x"}},
         nullptr},
        {"AbsoluteBackslashName",
         [] { return tgz(TarBuilder().file("\\\\etc\\evil", "x")); },
         1,
         0,
         {{"etc", k_dir}, {"etc/evil", "x"}},
         nullptr},
        {"AbsoluteNameRelativeMode",
         [] { return tgz(TarBuilder().file("/etc/evil", "x")); },
         0,
         0,
         {{"etc", k_dir}, {"etc/evil", "x"}},
         "Removed leading slashes"},
    };
}

// Rows: full fields and composed lengths.
std::vector<Row> fieldLengthRows() {
    // "/SDH/out/" (9) + prefix + "/" + name: 255 characters fit, 256 do not.
    const std::string name99(99, 'n');
    const std::string prefixThatFits(255 - 9 - 1 - 99, 'p');
    const std::string prefixTooLong(prefixThatFits.size() + 1, 'p');
    return {
        {"NameOf100BytesWithoutNul",
         [] {
             return tgz(
                 TarBuilder().header(TarHeader::regular(std::string(100, 'n'), 1)).data("x"));
         },
         1,
         -1,
         {},
         "not a valid tar file"},
        {"NameOf99Bytes",
         [] { return tgz(TarBuilder().file(std::string(99, 'n'), "x")); },
         1,
         0,
         {{std::string(99, 'n'), "x"}},
         nullptr},
        {"FullPrefixOf155Bytes",
         [] {
             return tgz(TarBuilder()
                            .header(TarHeader::regular("f", 1).prefix(std::string(155, 'q')))
                            .data("x"));
         },
         1,
         0,
         {{std::string(155, 'q'), k_dir}, {std::string(155, 'q') + "/f", "x"}},
         nullptr},
        // "/SDH/out/" is 9 characters: an entry of 246 makes 255.
        {"ComposedPathOf255", [] { return tgz(entryOfLength(246)); }, 1, 0,
         treeFor(pathOfLength(246), "L"), nullptr},
        {"ComposedPathOf256",
         [] { return tgz(entryOfLength(247)); },
         1,
         -1,
         {},
         "path too long, entry refused"},
        {"ComposedPathOf300",
         [] { return tgz(entryOfLength(246)); },
         1,
         -1,
         {},
         "path too long, entry refused",
         k_long_dest},

        {"PrefixAndNameOf255FitAnd256AreRefused",
         [name99, prefixThatFits, prefixTooLong] {
             return tgz(TarBuilder()
                            .header(TarHeader::regular(name99, 2).prefix(prefixThatFits))
                            .data("ok")
                            .header(TarHeader::regular(name99, 3).prefix(prefixTooLong))
                            .data("cut")
                            .file("after", "never"));
         },
         1,
         -1,
         {{prefixThatFits, k_dir}, {prefixThatFits + "/" + name99, "ok"}},
         "path too long, entry refused: /SDH/out/" + prefixTooLong + "/" + name99 + "\n"},
        {"FullPrefixAndNameUnderALongFolder",
         [name99] {
             return tgz(TarBuilder()
                            .header(TarHeader::regular(name99, 1).prefix(std::string(155, 'q')))
                            .data("x"));
         },
         1,
         -1,
         {},
         "path too long, entry refused",
         "/SDH/out/" + std::string(100, 'f') + "/"},
    };
}

// Rows: checksums.
std::vector<Row> checksumRows() {
    return {
        {"ChecksumOffByOne",
         [] {
             return tgz(
                 TarBuilder().header(TarHeader::regular("f", 1).checksumOffset(1)).data("x"));
         },
         1,
         -1,
         {},
         "header has bad checksum"},
        {"ChecksumFieldEmpty",
         [] {
             return tgz(TarBuilder()
                            .header(TarHeader::regular("f", 1).chksumField(std::string(8, '\0')))
                            .data("x"));
         },
         1,
         -1,
         {},
         "header has bad checksum"},
        {"ChecksumFieldNotOctal",
         [] {
             return tgz(
                 TarBuilder().header(TarHeader::regular("f", 1).chksumField("9999999")).data("x"));
         },
         1,
         -1,
         {},
         "header has bad checksum"},
        {"ChecksumSignedSumAccepted",
         [] {
             return tgz(
                 TarBuilder()
                     .header(TarHeader::regular("f\xe9", 1).checksum(TarHeader::Checksum::Signed))
                     .data("x"));
         },
         1,
         0,
         {{"f\xe9", "x"}},
         nullptr},
        {"ChecksumBadAfterGoodIsGarbage",
         [] {
             return tgz(TarBuilder()
                            .file("good", "g")
                            .header(TarHeader::regular("bad", 1).checksumOffset(-1)));
         },
         1,
         -1,
         {{"good", "g"}},
         "Garbage detected"},

        {"BadHeaderAfterGoodOnesIsGarbage",
         [] {
             return tgz(TarBuilder()
                            .file("good1", "1")
                            .file("good2", "22")
                            .header(TarHeader::regular("bad", 3).checksumOffset(1))
                            .data("333")
                            .file("never", "4"));
         },
         1,
         -1,
         {{"good1", "1"}, {"good2", "22"}},
         {"WARNING: Garbage detected; preceding file may be damaged\n",
          "/DVD/a.tgz: header has bad checksum for /SDH/out/bad\n",
          "(StaticWriteTask): p_instance->UntarBlock return ERROR\n"}},
        {"BadHeaderInTheSecondChunkKeepsTheFirstChunksFiles",
         [] {
             TarBuilder tar;
             tar.file("first", std::string(UNTGZ_CHUNK_SIZE - 2048, 'a'));
             tar.file("second", "b"); // ends the first chunk
             tar.header(TarHeader::regular("bad", 1).checksumOffset(-3)).data("c");
             tar.file("third", "d");
             EXPECT_GT(tar.bytes().size(), static_cast<size_t>(UNTGZ_CHUNK_SIZE));
             return tgz(tar);
         },
         1,
         -1,
         {{"first", std::string(UNTGZ_CHUNK_SIZE - 2048, 'a')}, {"second", "b"}},
         "(DoUnArchive): write task error!!\n"},
    };
}

// Rows: files that are no tar.
std::vector<Row> notTarRows() {
    return {
        noTar(
            "TextIsNoTar", [] { return testsupport::gzip(std::string(700, 'T')); },
            "/DVD/a.tgz: not a valid tar file\n"),
        noTar(
            "ShortTextNotGzippedIsNoTar", [] { return std::string("hello\n"); },
            "/DVD/a.tgz: not a valid tar file\n"),
        // Shaped like a header (byte 99 NUL, a digit first in the size
        // field) but no checksum matches.
        noTar(
            "ZerosAndDigitsShapedLikeAHeaderIsNoTar",
            [] {
                std::string bytes =
                    std::string(124, 'n') + std::string(12, '1') + std::string(376, '\0');
                bytes[99] = '\0';
                return testsupport::gzip(bytes);
            },
            "/DVD/a.tgz: header has bad checksum for /SDH/out/"),
    };
}

// Rows: size fields.
std::vector<Row> sizeFieldRows() {
    return {
        {"SizeFieldNotOctalFirstByte",
         [] {
             return tgz(TarBuilder().header(TarHeader::regular("f", 1).sizeField("x1")).data("x"));
         },
         1,
         -1,
         {},
         "not a valid tar file"},
        {"SizeFieldWithNonOctalDigitsSkipped",
         [] {
             return tgz(
                 TarBuilder().header(TarHeader::regular("f", 3).sizeField("0 9 8 3")).data("abc"));
         },
         1,
         0,
         {{"f", "abc"}},
         nullptr},
        {"SizeFieldOverflowing32Bits",
         [] {
             return tgz(TarBuilder().header(TarHeader::regular("f", 0).sizeField("777777777777")));
         },
         1,
         -1,
         {},
         "size field over 4 GiB"},
        {"SizeFieldBase256",
         [] {
             return tgz(TarBuilder().header(TarHeader::regular("f", 0).sizeField(
                 std::string("\x80\0\0\0\0\0\0\0\0\0\x02\0", 12))));
         },
         1,
         -1,
         {},
         "not a valid tar file"},
        // The end blocks are taken as data; what came stays on disk, and the
        // cut file fails the extraction.
        {"SizeLargerThanTheDataLeft",
         [] { return tgz(TarBuilder().header(TarHeader::regular("f", 100000)).data("short")); },
         1,
         -1,
         {{"f", "short" + std::string(507 + 1024, '\0')}},
         "Last file might be truncated"},

        sizeFieldRefused("SizeFieldOf2To32", uint64_t(1) << 32),
        sizeFieldRefused("SizeFieldOf2To33Plus5", (uint64_t(1) << 33) + 5),
        sizeFieldRefused("SizeFieldOf2To36Minus1", (uint64_t(1) << 36) - 1),
        // The largest 32-bit size is a size like any other (here cut short).
        {"LargestSizeFieldCutShort",
         [] {
             return testsupport::gzip(TarBuilder()
                                          .header(TarHeader::regular("max", 0xFFFFFFFFu))
                                          .data(std::string(1024, 'm'))
                                          .bytes());
         },
         1,
         -1,
         k_any,
         {"(4294967295 bytes, 8388608 tape blocks)", "Last file might be truncated"}},
    };
}

// Rows: cut streams.
std::vector<Row> cutStreamRows() {
    const std::string chunkOfData(700, 'd');
    return {
        // Cut after the chksum field, before the magic that it counts.
        {"TarCutInsideAHeader",
         [] { return testsupport::gzip(fileBlocks("f", "x").substr(0, 200)); },
         1,
         -1,
         {},
         "header has bad checksum"},
        {"TarCutInsideData",
         [chunkOfData] { return testsupport::gzip(fileBlocks("f", chunkOfData).substr(0, 900)); },
         1,
         -1,
         {{"f", std::string(388, 'd') + std::string(124, '\0')}},
         "Last file might be truncated"},
        {"GzipCut",
         [] {
             const std::string gz =
                 tgz(TarBuilder().file("f", testsupport::sampleContent(9000, 3)));
             return testsupport::cut(gz, gz.size() / 2);
         },
         1, -1, k_any, "compressed data damaged or cut short"},
        // zlib checks the trailer as it reads the one and only chunk.
        // A damaged trailer fails the read that reaches it; whether the bytes
        // decoded before it are handed out first depends on the inflater.
        {"GzipCorruptCrc", [] { return gzipTrailerFlipped(8); }, 1, -1, k_any,
         "error (errno = 0x5)"},
        {"GzipCorruptLength", [] { return gzipTrailerFlipped(1); }, 1, -1, k_any,
         "error (errno = 0x5)"},
        {"GzipConcatenatedMembers",
         [] {
             return testsupport::gzip(TarBuilder().file("one", "1").bytes()) +
                    testsupport::gzip(TarBuilder().file("two", "2").finish());
         },
         1,
         0,
         {{"one", "1"}, {"two", "2"}},
         nullptr},
        {"PlainTarNotGzipped",
         [] { return TarBuilder().dir("d/").file("d/f", "plain").finish(); },
         1,
         0,
         {{"d", k_dir}, {"d/f", "plain"}},
         nullptr},
        // A file without even a gzip header is a cut archive; a gzip of
        // nothing, and a tar of only its end blocks, are empty archives.
        {"EmptyFile",
         [] { return std::string(); },
         1,
         -1,
         {},
         "cut short (unexpected end of file (empty file))"},
        {"LoneGzipMagicByte",
         [] { return std::string("\x1f"); },
         1,
         -1,
         {},
         "cut short (unexpected end of file)"},
        {"GzipOfNothing", [] { return testsupport::gzip(""); }, 1, 0, {}, nullptr},
        {"OnlyEndBlocks",
         [] { return testsupport::gzip(std::string(10240, '\0')); },
         1,
         0,
         {},
         nullptr},
        {"GarbageAfterTheEndBlocks",
         [] {
             return testsupport::gzip(TarBuilder().file("f", "1").finish() + std::string(512, 'G'));
         },
         1,
         -1,
         {{"f", "1"}},
         "Garbage detected"},

        // Inside the deflate data, in the 8-byte trailer, and one byte short.
        gzipCut("GzipOfTwoFilesCutInTheMiddle", [](size_t size) { return size / 2; }),
        gzipCut("GzipOfTwoFilesCutInTheTrailer", [](size_t size) { return size - 6; }),
        gzipCut("GzipOfTwoFilesOneByteShort", [](size_t size) { return size - 1; }),
        {"GzipOverChunksCrcCorrupt",
         damagedGzip([](std::string &gz) { gz[gz.size() - 6] ^= 0x55; }), 1, -1, k_any, nullptr},
        {"GzipOverChunksDeflateDataInverted", damagedGzip([](std::string &gz) {
             for (size_t i = gz.size() / 2; i < gz.size() / 2 + 64; i++)
                 gz[i] = static_cast<char>(~gz[i]);
         }),
         1, -1, k_any, nullptr},
    };
}

// Rows: many entries, case, special entries with data.
std::vector<Row> entryKindRows() {
    const std::string chunkOfData(700, 'd');
    return {
        {"TwentyThousandEntries",
         [] {
             // Links are skipped by the parser: the entries cost no disk work.
             TarBuilder t;
             for (int i = 0; i < 20000; ++i)
                 t.symlink("l" + std::to_string(i), "t");
             t.file("last", "z");
             return tgz(t);
         },
         1,
         0,
         {{"last", "z"}},
         nullptr},
        {"NamesDifferingInCaseOnly",
         [] { return tgz(TarBuilder().file("Case.txt", "upper").file("case.txt", "lower")); },
         1,
         0,
         {{"Case.txt", "upper"}, {"case.txt", "lower"}},
         nullptr},
        {"DirectoryWithDataBlocks",
         [chunkOfData] {
             return tgz(TarBuilder()
                            .header(TarHeader::directory("d/").size(chunkOfData.size()))
                            .data(fileBlocks("hidden", "h"))
                            .file("after", "a"));
         },
         1,
         0,
         {{"d", k_dir}, {"after", "a"}},
         nullptr},
        {"LinkWithASizeIsNotHonoured",
         [] {
             // The link's "data" is read as the next header.
             return tgz(TarBuilder()
                            .header(TarHeader::link("l", "target", true).size(512))
                            .data(fileBlocks("smuggled", "s")));
         },
         1,
         0,
         {{"smuggled", "s"}},
         nullptr},
        {"LinkWithJunkData",
         [] {
             return tgz(
                 TarBuilder().header(TarHeader::link("l", "t", false).size(5)).data("junk!"));
         },
         1,
         -1,
         {},
         "Garbage detected"},
        {"DevicesAndFifosNotCreated",
         [] { return tgz(TarBuilder().special("c", '3').special("b", '4').special("p", '6')); },
         1,
         0,
         {},
         nullptr},
    };
}

// Rows: refused parameters: nothing is read, nothing is written.
std::vector<Row> refusedParameterRows() {
    const std::string archiveOf255 = "/DVD/" + std::string(250, 'a');
    const std::string archiveOf254 = archiveOf255.substr(0, 254);
    return {
        {"VerboseTwoRefused",
         oneSmallFile,
         1,
         -1,
         {},
         "(Untar): parameter error (p_verbose == 2)\n",
         "/SDH/out/",
         {"End Untar"},
         nullptr,
         "/DVD/a.tgz",
         2},
        {"VerboseMinusOneRefused",
         oneSmallFile,
         0,
         -1,
         {},
         "(Untar): parameter error (p_verbose == -1)\n",
         "/SDH/out/",
         {"End Untar"},
         nullptr,
         "/DVD/a.tgz",
         -1},
        {"AbsPathTwoRefused",
         oneSmallFile,
         2,
         -1,
         {},
         "(Untar): parameter error (p_abs_path == 2)\n",
         "/SDH/out/",
         {"End Untar"},
         nullptr,
         "/DVD/a.tgz",
         0},
        // Paths of 255 characters or more would not fit: refused, never cut.
        {"ArchivePathOf255Refused",
         oneSmallFile,
         1,
         -1,
         {},
         "(Untar): parameter error (p_tar_file of 255 characters or more, at most 254)\n",
         "/SDH/out/",
         {},
         nullptr,
         archiveOf255},
        {"DestFolderOf255Refused",
         oneSmallFile,
         1,
         -1,
         {},
         "(Untar): parameter error (p_dest_folder of 255 characters or more",
         "/SDH/" + std::string(250, 'f'),
         {"Begin Untar"}},
        // 254 characters are accepted (this archive does not exist).
        {"ArchivePathOf254Accepted",
         oneSmallFile,
         1,
         -1,
         {},
         "(DoUnArchive): gzopen (" + archiveOf254 + ") : ERROR",
         "/SDH/out/",
         {},
         nullptr,
         archiveOf254},
    };
}

std::vector<Row> rows() {
    std::vector<Row> all;
    for (auto part :
         {dotDotRows, climbOutRows, absoluteNameRows, fieldLengthRows, checksumRows, notTarRows,
          sizeFieldRows, cutStreamRows, entryKindRows, refusedParameterRows})
        for (Row &row : part())
            all.push_back(std::move(row));
    return all;
}

class HostileArchive : public testsupport::UnitFixture, public ::testing::WithParamInterface<Row> {
protected:
    void SetUp() override {
        UnitFixture::SetUp();
        // Every extraction ends with a pause of 50 ticks: make ticks short.
        hostsim::setTickRate(20000);
        char cwd[4096];
        ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
        m_cwd = cwd;
        // With the leading slash removed the output is relative to the
        // working directory: keep it in the test's folder.
        ASSERT_EQ(chdir(root().c_str()), 0);
        // The destination exists, as it does for the module's callers
        // (folders are created one level at a time).
        fs::create_directories(sdDir() + "/out");
        fs::create_directories(root() + "/SDH/out");
    }
    void TearDown() override {
        EXPECT_EQ(chdir(m_cwd.c_str()), 0);
        UnitFixture::TearDown();
    }

    // Every path under the test's folder, relative to it.
    std::vector<std::string> everything() {
        std::vector<std::string> out;
        for (auto &e : fs::recursive_directory_iterator(root()))
            out.push_back(fs::relative(e.path(), root()).string());
        return out;
    }

    static Tree treeOf(const std::string &dir) {
        Tree t;
        if (!fs::exists(dir))
            return t;
        for (auto &e : fs::recursive_directory_iterator(dir)) {
            const std::string rel = fs::relative(e.path(), dir).string();
            t[rel] = e.is_directory() ? std::string(k_dir) : testsupport::readFile(e.path());
        }
        return t;
    }

    std::string m_cwd;
};

TEST_P(HostileArchive, ResultTreeAndContainment) {
    const Row &row = GetParam();
    ASSERT_TRUE(testsupport::writeFile(mediaDir() + "/a.tgz", row.archive()));
    if (row.prepare)
        row.prepare(sdDir());
    C_UNTGZ *untgz = C_UNTGZ::GetInstance();
    ASSERT_NE(untgz, nullptr);

    const int result =
        untgz->Untar(row.archivePath.c_str(), row.dest.c_str(), row.verbose, row.absPath);
    EXPECT_TRUE(hostsim::waitAllTasks(10000)) << "a task outlived the extraction";
    EXPECT_EQ(result, row.result) << log();
    unsigned long long progression = 1;
    EXPECT_EQ(untgz->GetProgression(progression), -1) << "an extraction is still reported";
    EXPECT_EQ(progression, 0u);

    // The destination: "/SDH/out/" on the SD card, or "SDH/out/" under the
    // working directory once the leading slash is dropped.
    const std::string destRel = row.absPath == 1 ? "sd/out" : "SDH/out";
    const Tree tree = treeOf(root() + "/" + destRel);
    if (row.tree != k_any) {
        EXPECT_EQ(tree, row.tree);
    }
    const std::string text = log();
    size_t from = 0;
    for (const std::string &line : row.log.texts) {
        const size_t at = text.find(line, from);
        EXPECT_NE(at, std::string::npos) << "missing, or out of order: " << line << "\n" << text;
        if (at != std::string::npos)
            from = at + line.size();
    }
    for (const std::string &line : row.absent) {
        EXPECT_EQ(text.find(line), std::string::npos) << line << "\n" << text;
    }

    // Nothing outside the destination: only the devices' folders, the
    // archive, and the folders on the way to the destination may exist.
    for (const std::string &p : everything()) {
        const bool allowed = p == "sd" || p == "flash" || p == "media" || p == "media/a.tgz" ||
                             p == "SDH" || p == "SDH/out" || p == "sd/out" ||
                             p.rfind(destRel + "/", 0) == 0;
        EXPECT_TRUE(allowed) << "written outside the destination: " << p;
    }
}

INSTANTIATE_TEST_SUITE_P(Table, HostileArchive, ::testing::ValuesIn(rows()),
                         [](const ::testing::TestParamInfo<Row> &info) {
                             return std::string(info.param.name);
                         });

} // namespace
