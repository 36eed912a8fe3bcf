// Writes the seed corpora of the fuzz targets from the test builders: tar
// streams and archives from the tar builder, media files from the media
// builder. Usage: fuzz_make_seeds OUTDIR (one folder per target is made in
// it; existing seeds are overwritten).
#include "tests/support/media_builder.h"
#include "tests/support/tar_builder.h"
#include "tests/support/unit_fixture.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using testsupport::TarBuilder;
using testsupport::TarHeader;

namespace {

std::string g_out;

void Seed(const std::string &p_target, const std::string &p_name, const std::string &p_bytes) {
    const std::string l_dir = g_out + "/" + p_target;
    fs::create_directories(l_dir);
    std::ofstream l_file(l_dir + "/" + p_name, std::ios::binary | std::ios::trunc);
    l_file.write(p_bytes.data(), static_cast<std::streamsize>(p_bytes.size()));
}

// Tar streams that reach the parser's paths: entries of every kind, long and
// prefixed names, odd size fields, signed checksums, hostile names.
std::vector<std::pair<std::string, std::string>> TarStreams() {
    std::vector<std::pair<std::string, std::string>> l_out;
    {
        TarBuilder t;
        t.dir("a/").file("a/b.txt", "hello").file("a/empty", "").symlink("a/l", "b.txt");
        t.hardlink("a/h", "a/b.txt")
            .special("a/fifo", '6')
            .file("a/c/deep.bin", testsupport::sampleContent(1300, 1));
        l_out.emplace_back("kinds", t.finish());
    }
    {
        TarBuilder t;
        t.header(TarHeader::regular("long-name", 513).prefix("some/prefix/folder"))
            .data(std::string(513, 'p'));
        t.header(TarHeader::regular(std::string(100, 'n'), 0));
        t.header(TarHeader::regular("signed\xe9", 3).checksum(TarHeader::Checksum::Signed))
            .data("abc");
        t.header(TarHeader::regular("spaced", 10).sizeField(std::string("0 0 1 2\0\0\0\0\0", 12)))
            .data(std::string(10, 's'));
        l_out.emplace_back("fields", t.finish());
    }
    {
        TarBuilder t;
        t.file("../up", "x").file("/abs/file", "y").file("a\\..\\..\\b", "z").file("ok//x\\y", "w");
        t.header(TarHeader::regular("x", 1).prefix("..")).data("q");
        l_out.emplace_back("hostile", t.finish());
    }
    {
        TarBuilder t;
        t.file("f", "1").header(TarHeader::regular("bad", 1).checksumOffset(1)).data("2");
        l_out.emplace_back("badsum", t.finish());
    }
    {
        TarBuilder t;
        t.header(TarHeader::directory("d/").size(1024)).data(std::string(1024, 'd'));
        t.header(TarHeader::link("l", "t", true).size(512)).data(std::string(512, 'l'));
        t.file("after", "ok");
        l_out.emplace_back("sized-specials", t.finish());
    }
    return l_out;
}

void TarSeeds() {
    for (const auto &l_stream : TarStreams()) {
        for (int l_options = 0; l_options < 8; l_options += 3)
            Seed("fuzz_tar_blocks", l_stream.first + "-" + std::to_string(l_options),
                 std::string(1, static_cast<char>(l_options)) + l_stream.second);
        const std::string l_tgz = testsupport::gzip(l_stream.second);
        Seed("fuzz_untar_tgz", l_stream.first, l_tgz);
        Seed("fuzz_untar_tgz", l_stream.first + "-cut", testsupport::cut(l_tgz, l_tgz.size() / 2));
        Seed("fuzz_untar_tgz", l_stream.first + "-plain", l_stream.second);
    }
    Seed("fuzz_untar_tgz", "two-members",
         testsupport::gzip(TarBuilder().file("one", "1").bytes()) +
             testsupport::gzip(TarBuilder().file("two", "2").finish()));

    // Name field (100 bytes) then prefix field (155 bytes) after the option byte.
    const char *const l_names[][2] = {
        {"a/b.txt", ""},       {"../escape", ""},     {"/etc/abs", ""}, {"a\\..\\..\\b", ""},
        {"x", "p/q"},          {"x", ".."},           {"..", ""},       {"d/", ""},
        {"a//b\\c", "\\lead"}, {"./.././x", "a/./b"}, {"x/..", ""},     {"", ""},
    };
    int l_i = 0;
    for (const auto &l_pair : l_names) {
        std::string l_name(l_pair[0]);
        l_name.resize(100, '\0');
        for (int l_options : {0, 1, 3, 8}) {
            Seed("fuzz_tar_paths", "name" + std::to_string(l_i) + "-" + std::to_string(l_options),
                 std::string(1, static_cast<char>(l_options)) + l_name + l_pair[1]);
        }
        ++l_i;
    }
}

std::string ReadHost(const std::string &p_path) {
    return testsupport::readFile(p_path);
}

void MediaSeeds() {
    const std::string l_root = testsupport::makeTempDir("upgseeds");
    testsupport::CountryDef l_ita;
    l_ita.cid = "ITA";
    l_ita.name = "Italia";
    l_ita.sizes = {{"CID_SIZE", "100"}, {"CID_SIZE_4", "120"}, {"CID_SIZE_32", "90"}};
    testsupport::CountryDef l_fra;
    l_fra.cid = "FRA";
    l_fra.name = "France";
    l_fra.eol = "\n";
    testsupport::MediaBuilder(l_root + "/media").country(l_ita).country(l_fra).build();
    testsupport::writeInstalledCountry(l_root + "/sd", {"ITA", "4", "1", {{"CID_SIZE", "90"}}});

    const std::string l_m = l_root + "/media/";
    const std::string l_main = ReadHost(l_m + "DESCRI.DAT");
    const std::string l_curr = ReadHost(l_m + "MAPS/CURR_VERS_NAVI.TXT");
    const std::string l_cdescri = ReadHost(l_m + "MAPPE/ITA/DESCRI.DAT");
    const std::string l_inf = ReadHost(l_m + "MAPPE/ITA/CD_VER.NAV.INF");
    const std::string l_gruppo = ReadHost(l_m + "MAPPE/ITA/GRUPPO_4_CID.DAT.inf");
    const std::string l_installed = ReadHost(l_root + "/sd/MAPPE/ITA/CD_VER.NAV.INF");
    testsupport::removeTree(l_root);

    Seed("fuzz_descri", "main", l_main);
    Seed("fuzz_descri", "country", l_cdescri);
    Seed("fuzz_descri", "fields",
         "DB_DOWNLOAD,X,MAPS\\DATA\\DVD_VER.NAV,Y,Z\nA , B,C,D,E,F\n\nshort\n" +
             std::string(300, 'L') + "\n");

    for (const char *l_key : {"VERSION", "CID", "CID_SIZE", "RELEASE", "CID_SIZE_32"})
        Seed("fuzz_carto_keyfile", l_key, std::string(l_key) + "\n" + l_inf);
    Seed("fuzz_carto_keyfile", "VER", "VER\n" + l_gruppo);
    Seed("fuzz_carto_keyfile", "odd", "V\nV :1\nV: 2 3\nVV:4\nV:" + std::string(120, 'x') + "\n");

    Seed("fuzz_poi_keyfile", "date", "DATE\nPREFIX:ABC\r\nDATE:100\r\nDATE: 200 \r\n");
    Seed("fuzz_poi_keyfile", "prefix",
         "PREFIX\nPREFIXES:X\nPREFIX:ABC_1\n" + std::string(150, 'P') + "\n");

    Seed("fuzz_currvers", "ITA", "ITA\n" + l_curr);
    Seed("fuzz_currvers", "FRA", "FRA\n" + l_curr);
    Seed(
        "fuzz_currvers", "odd",
        "ITALY\ncid:ITA,a,b,c,d,e,f,g\nCID:ITA,a,b,c,d,e\nCID:ITA,a,b,c,d,\"e\",\"f\",\"g\",h\r\n" +
            std::string(350, 'C') + "\n");

    Seed("fuzz_config", "select", "B\n--\nA\nB\n--\nm1\nm2\n--\na1\na2\nb1\nb2\n");
    Seed("fuzz_config", "crlf", "A\n--\nA\r\nB\r\n--\nm1\r\nm2\r\n--\na1\r\na2\r\nb1\r\nb2\r\n");
    Seed("fuzz_config", "long",
         "V1.0\n--\n" + std::string(45, 'v') + "\nV1.0\n--\n" + std::string(39, 'm') +
             "\nm2\n--\nx\ny\n" + std::string(80, 'd') + "\nshort\n");

    const std::string l_sep = "\n--\n";
    const std::string l_script =
        "U/DVD|/SDH|4\nTDESCRI.DAT|10\nV\nL\nHcomment\nE1|2|3|4|5\nC\nM\nS\nAbar|100|0\n"
        "Xa.tgz|out/\nD\nPMAPS/DVD_VER.NAV|copy/DVD_VER.NAV|0\nIa.tgz|poi\n";
    const std::string l_tgz =
        testsupport::gzip(TarBuilder().dir("x/").file("x/f.txt", "data").finish());
    Seed("fuzz_builtins", "script",
         l_script + l_sep + l_main + l_sep + l_curr + l_sep + l_cdescri + l_sep + l_inf + l_sep +
             l_gruppo + l_sep + l_installed + l_sep + l_tgz);
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTDIR\n", argv[0]);
        return 2;
    }
    g_out = argv[1];
    TarSeeds();
    MediaSeeds();
    return 0;
}
