// "upgsim init" and "pack --country" / "pack --poi" as an engineer uses them:
// a project made, filled, packed, checked and installed by the example
// script; the size lines held to the module's size class and the checker's
// space check at each block size; what check says is left to do; and what
// init and pack refuse.
#include "tests/support/html_check.h"
#include "tests/support/unit_fixture.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testsupport::fileExists;
using testsupport::readFile;
using testsupport::shellQuote;
using testsupport::writeFile;

class InitPackCli : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir = testsupport::makeTempDir("initpack-cli");
        ASSERT_FALSE(m_dir.empty());
        ASSERT_TRUE(fileExists(testsupport::upgsimPath()));
    }
    void TearDown() override { testsupport::removeTree(m_dir); }

    // Runs upgsim with `args` in the test folder; its exit status.
    int upgsim(const std::string &args) { return testsupport::runUpgsim(args, m_dir, m_dir); }
    std::string out() const { return readFile(m_dir + "/stdout"); }
    std::string err() const { return readFile(m_dir + "/stderr"); }
    json outJson() const { return json::parse(out(), nullptr, false); }
    std::string at(const std::string &rel) const { return m_dir + "/" + rel; }

    // check --json of the medium `medium` (global options `more`, check's
    // own `checkOptions`): its findings as "CODE PATH" lines, in the
    // report's order.
    std::vector<std::string> findings(const std::string &medium, const std::string &more = "",
                                      int *status = nullptr, const std::string &checkOptions = "") {
        const int rc = upgsim("--media " + medium + " " + more + " check --json " + checkOptions);
        if (status != nullptr)
            *status = rc;
        std::vector<std::string> lines;
        const json report = outJson();
        if (!report.is_object() || !report.contains("findings"))
            return {"no report: " + out() + err()};
        for (const json &f : report["findings"])
            lines.push_back(f["code"].get<std::string>() + " " + f["path"].get<std::string>());
        return lines;
    }
    // The message of the first finding of `code` in the last check.
    std::string message(const std::string &code) const {
        const json report = outJson();
        for (const json &f : report["findings"])
            if (f["code"] == code)
                return f["message"];
        return std::string();
    }

    std::string m_dir;
};

// The files of a host folder beneath it (relative paths -> contents).
std::map<std::string, std::string> filesUnder(const std::string &dir) {
    std::map<std::string, std::string> files;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
        if (it->is_regular_file())
            files[fs::relative(it->path(), dir).generic_string()] = readFile(it->path().string());
    return files;
}

// The room `sizes` take on a card of `block`-byte blocks.
unsigned long long room(const std::vector<unsigned long long> &sizes, unsigned long long block) {
    unsigned long long total = 0;
    for (unsigned long long s : sizes)
        total += (s + block - 1) / block * block;
    return total;
}

TEST_F(InitPackCli, AProjectGoesFromInitToAnInstalledCard) {
    ASSERT_EQ(upgsim("init proj --countries ESP,PRT --poi ESP,PRT --year 2025 --quarter 2 "
                     "--names ESP=Espana"),
              0)
        << err();
    EXPECT_EQ(readFile(at("proj/medium/MAPPE/CURR_VERS_NAVI.TXT")),
              "CID:ESP,EU,ESP,2,2025,\"2025-Q2\",\"Espana\",\"\"\n"
              "CID:PRT,EU,PRT,2,2025,\"2025-Q2\",\"PRT\",\"\"\n");
    EXPECT_TRUE(fs::is_directory(at("proj/maps/PRT")));
    EXPECT_TRUE(fs::is_directory(at("proj/poi/tmp_poi/ESP")));
    EXPECT_FALSE(fs::exists(at("proj/medium/maps"))); // the sources are not burned

    // Untouched: only what is left to do, as errors.
    int status = 0;
    EXPECT_EQ(findings("proj/medium", "", &status),
              (std::vector<std::string>{"TODO_MAPS MAPPE/ESP", "TODO_MAPS MAPPE/PRT",
                                        "TODO_POIS POI/POI_UPD.tgz"}))
        << out();
    EXPECT_EQ(status, 1);
    EXPECT_EQ(message("TODO_MAPS"), "put the map data of ESP in proj/maps/ESP and run upgsim "
                                    "pack --country ESP --version N --release N proj/maps/ESP "
                                    "proj/medium");

    // Filled: ESP packed; PRT's data in place but not packed yet.
    ASSERT_TRUE(writeFile(at("proj/maps/ESP/ROADS.DAT"), std::string(70000, 'r')));
    ASSERT_TRUE(writeFile(at("proj/maps/ESP/sub/b.dat"), "b"));
    ASSERT_TRUE(writeFile(at("proj/maps/PRT/P.DAT"), std::string(5000, 'p')));
    ASSERT_TRUE(writeFile(at("proj/poi/tmp_poi/ESP/poi_ver_RST.txt"), "PREFIX:RST\nDATE:2\n"));
    ASSERT_TRUE(writeFile(at("proj/poi/tmp_poi/ESP/RST.lzw"), "e"));
    ASSERT_TRUE(writeFile(at("proj/poi/tmp_poi/PRT/poi_ver_RST.txt"), "PREFIX:RST\nDATE:2\n"));
    ASSERT_TRUE(writeFile(at("proj/poi/tmp_poi/PRT/RST.lzw"), "p"));
    ASSERT_EQ(upgsim("pack --country ESP --version 6 --release 1 proj/maps/ESP proj/medium"), 0)
        << err();
    EXPECT_EQ(findings("proj/medium"),
              (std::vector<std::string>{"TODO_MAPS MAPPE/PRT", "TODO_POIS POI/POI_UPD.tgz"}))
        << out();
    EXPECT_EQ(message("TODO_MAPS"),
              "proj/maps/PRT holds the map data of PRT: run upgsim pack --country PRT "
              "--version N --release N proj/maps/PRT proj/medium");
    EXPECT_EQ(message("TODO_POIS"), "proj/poi/tmp_poi holds the POI delivery: run upgsim pack "
                                    "--poi proj/poi/tmp_poi proj/medium --poi-version VERSION");

    ASSERT_EQ(upgsim("pack --country PRT --version 3 --release 0 proj/maps/PRT proj/medium"), 0)
        << err();
    ASSERT_EQ(upgsim("pack --poi proj/poi/tmp_poi proj/medium --poi-version 2025.06 --json"), 0)
        << err();
    EXPECT_EQ(outJson()["archive"], "proj/medium/POI/POI_UPD.tgz");
    EXPECT_EQ(readFile(at("proj/medium/POI/POI_UPD.tgz.inf")), "VERSION:2025.06\n");
    // Ready: the example script, run on every card state and cut by power at
    // a sample of its operations, leaves what the medium holds; the release
    // report is a valid page with the cuts' picture.
    const std::string example = shellQuote(std::string(UPG_SOURCE_DIR) + "/examples/map_upgrade.c");
    EXPECT_EQ(findings("proj/medium", "", &status,
                       "--script " + example + " --power-cuts 12 --report r.html"),
              std::vector<std::string>())
        << out();
    EXPECT_EQ(status, 0);
    std::string faults;
    EXPECT_EQ(testsupport::htmlCheck(at("r.html"), faults), 0) << faults;
    EXPECT_NE(readFile(at("r.html")).find("map_upgrade.c:"), std::string::npos);

    // The example script installs both countries and stages the POIs.
    fs::create_directories(at("card"));
    ASSERT_EQ(upgsim("--media proj/medium --sd card run " + example), 0) << out() << err();
    std::map<std::string, std::string> esp = filesUnder(at("proj/maps/ESP"));
    esp["CD_VER.NAV.INF"] = readFile(at("proj/medium/MAPPE/ESP/CD_VER.NAV.INF"));
    EXPECT_EQ(filesUnder(at("card/MAPPE/ESP")), esp);
    EXPECT_EQ(readFile(at("card/MAPPE/PRT/P.DAT")), std::string(5000, 'p'));
    EXPECT_EQ(readFile(at("card/MAPPE/POI_USER/TEMP_PRT/RST.lzw")), "p");
    EXPECT_EQ(readFile(at("card/TEMP_POI_VER.POI")), "VERSION:2025.06\n");
}

// Every size line against the module's own choice of key (analyse runs the
// carto tree on a card of each block size) and the checker's space check on
// a card just big enough and one block smaller. Files are rounded up to
// whole blocks, empty files and folders take nothing.
TEST_F(InitPackCli, SizeLinesHoldToTheModulesSizeClassAndTheSpaceCheck) {
    ASSERT_EQ(upgsim("init p --countries ESP --year 2025 --quarter 1"), 0) << err();
    const std::vector<unsigned long long> sizes = {1, 1, 4096, 4097, 70000, 0};
    ASSERT_TRUE(writeFile(at("p/maps/ESP/a"), "x"));
    ASSERT_TRUE(writeFile(at("p/maps/ESP/deep/er/b"), "y"));
    ASSERT_TRUE(writeFile(at("p/maps/ESP/c"), std::string(4096, 'c')));
    ASSERT_TRUE(writeFile(at("p/maps/ESP/deep/d"), std::string(4097, 'd')));
    ASSERT_TRUE(writeFile(at("p/maps/ESP/e"), std::string(70000, 'e')));
    ASSERT_TRUE(writeFile(at("p/maps/ESP/empty"), ""));
    fs::create_directories(at("p/maps/ESP/nothing/here"));
    ASSERT_EQ(upgsim("pack --country ESP --version 1 --release 0 p/maps/ESP p/medium --json"), 0)
        << err();
    const json packed = outJson();
    fs::create_directories(at("card"));

    struct Row {
        long block;
        const char *key; // the key the module reads at that block size
    };
    const Row rows[] = {{512, "CID_SIZE"},      {4096, "CID_SIZE_4"},   {8192, "CID_SIZE_8"},
                        {16384, "CID_SIZE_16"}, {32768, "CID_SIZE_32"}, {65536, "CID_SIZE"}};
    for (const Row &r : rows) {
        SCOPED_TRACE(r.block);
        const unsigned long long need = room(sizes, static_cast<unsigned long long>(r.block));
        // The keyed sizes are the room at their block size; CID_SIZE is the
        // room at the largest, enough at every block size that reads it.
        const unsigned long long line =
            std::string(r.key) == "CID_SIZE" ? room(sizes, 65536) : need;
        EXPECT_EQ(packed["sizes"][r.key], line);
        ASSERT_EQ(upgsim("--media p/medium --sd card --sd-block-size " + std::to_string(r.block) +
                         " analyse --json"),
                  0)
            << err();
        const json countries = outJson()["countries"];
        ASSERT_EQ(countries.size(), 1u) << out();
        EXPECT_EQ(countries[0]["offered"], true);
        EXPECT_EQ(countries[0]["new_size"], line);
        EXPECT_GE(line, need);

        const std::string sizesOpt = "--block-sizes " + std::to_string(r.block);
        EXPECT_EQ(findings("p/medium", "--sd-capacity " + std::to_string(line), nullptr, sizesOpt),
                  std::vector<std::string>())
            << out();
        EXPECT_EQ(findings("p/medium", "--sd-capacity " + std::to_string(need - r.block), nullptr,
                           sizesOpt),
                  std::vector<std::string>{"SPACE_SHORT (SD card)"})
            << out();
    }
}

TEST_F(InitPackCli, InitWritesOnlyANewProjectFromValidCodes) {
    struct Case {
        const char *args;
        int status;
        const char *says;
    };
    ASSERT_TRUE(writeFile(at("full/x"), ""));
    ASSERT_TRUE(writeFile(at("plain"), ""));
    const Case cases[] = {
        {"init full --countries ESP", 1, "not empty"},
        {"init plain --countries ESP", 1, "not a folder"},
        {"init no/such --countries ESP", 1, "does not exist"},
        {"init n --countries ES", 2, "'ES' is no country code"},
        {"init n --countries ESP,esp", 2, "'esp' is no country code"},
        {"init n --countries ESP,,PRT", 2, "'' is no country code"},
        {"init n --countries ESP,ESP", 2, "ESP is given twice"},
        {"init n --countries ESP --poi FR", 2, "--poi: 'FR'"},
        {"init n --countries ESP,PRT --cd", 2, "one country, not 2"},
        {"init n --countries ESP --names PRT=Portugal", 2, "PRT is not one of --countries"},
        {"init n --countries ESP --names 'ESP=Es\"pana'", 2, "but the double quote"},
        {"init n --countries ESP --names ESP", 2, "is not CID=NAME"},
        {"init n --countries ESP --quarter 5", 2, "--quarter"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(upgsim(c.args), c.status) << c.args << "\n" << err();
        EXPECT_NE(err().find(c.says), std::string::npos) << c.args << "\n" << err();
    }
    EXPECT_FALSE(fs::exists(at("n")));
    EXPECT_EQ(filesUnder(at("full")).size(), 1u);

    // A CD: the version file in its country's folder; packed, it checks clean.
    ASSERT_EQ(upgsim("init cd/ --countries ESP --cd --year 2024 --quarter 3 --json"), 0) << err();
    EXPECT_EQ(outJson()["type"], "single country");
    EXPECT_EQ(readFile(at("cd/medium/DESCRI.DAT")),
              "DB_DOWNLOAD_NAV,1,MAPPE/ESP/CD_VER.NAV,0,single country\n");
    EXPECT_EQ(readFile(at("cd/medium/MAPPE/ESP/CD_VER.NAV")), "VERSION:2024.3\n");
    EXPECT_FALSE(fileExists(at("cd/medium/MAPPE/CURR_VERS_NAVI.TXT")));
    EXPECT_EQ(findings("cd/medium"), std::vector<std::string>{"TODO_MAPS MAPPE/ESP"}) << out();
    ASSERT_TRUE(writeFile(at("cd/maps/ESP/ROADS.DAT"), "roads"));
    ASSERT_EQ(upgsim("pack --country ESP --version 2 --release 0 cd/maps/ESP cd/medium"), 0)
        << err();
    EXPECT_EQ(findings("cd/medium"), std::vector<std::string>()) << out();
    fs::create_directories(at("card"));
    ASSERT_EQ(upgsim("--media cd/medium --sd card --sd-block-size 4096 analyse --json"), 0)
        << err();
    EXPECT_EQ(outJson()["upgrade_type"], 0) << out();
}

// What pack --country writes into a medium it did not make, what it keeps
// of the files there, and what it refuses (nothing written then).
TEST_F(InitPackCli, PackCountryWritesTheCountrysFilesAndRefusesWhatTheUnitMisreads) {
    fs::create_directories(at("m/MAPPE/ITA"));
    ASSERT_TRUE(writeFile(at("m/MAPPE/ITA/CD_VER.NAV.INF"),
                          "CID:ITA\nVERSION:FILL_IN\nRELEASE:2\nAREA:south\nCID_SIZE:1\n"));
    ASSERT_TRUE(
        writeFile(at("m/MAPPE/ITA/DESCRI.DAT"),
                  "ICONS,1,MAPPE/ITA/I.DAT,0,icons\r\nMAP_ARCHIVE,1,MAPPE\\ITA\\old.tgz,0,x\n"));
    ASSERT_TRUE(writeFile(at("src/ITA/ROADS.DAT"), "r"));
    ASSERT_TRUE(writeFile(at("src/FRA/ROADS.DAT"), "r"));
    fs::create_directories(at("src/NIL"));
    fs::create_directories(at("src/ITA/inner"));

    struct Case {
        const char *args;
        int status;
        const char *says;
    };
    const Case cases[] = {
        {"pack --country ITA src/FRA m", 1, "named FRA, not ITA"},
        {"pack --country ITA src/ITA m", 2, "needs --version"},
        {"pack --country ITA --version 6a src/ITA m", 2, "'6a' is no number"},
        {"pack --country ITA --version 6 --release -1 src/ITA m", 2, "is no number"},
        {"pack --country it --version 6 src/ITA m", 2, "no country code"},
        {"pack --country NIL --version 6 --release 0 src/NIL m", 1, "holds no file"},
        {"pack --country ITA --version 6 src/ITA nowhere", 1, "no medium folder"},
        {"pack --country ITA --version 6 src/ITA src/ITA/inner", 1, "lies inside"},
        {"pack --country ITA --version 6 --release 0 m/MAPPE/ITA m", 1, "lies inside the medium"},
        {"pack --version 6 src/ITA m", 2, "--version"},
        {"pack --country ITA --poi src/ITA m", 2, "--poi"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(upgsim(c.args), c.status) << c.args << "\n" << err();
        EXPECT_NE(err().find(c.says), std::string::npos) << c.args << "\n" << err();
        EXPECT_FALSE(fileExists(at("m/MAPPE/ITA/ITA.tgz"))) << c.args;
    }
    // More than a size line holds (files sparse: refused before any is read).
    for (const char *name : {"big1", "big2"}) {
        const int fd = ::open(at(std::string("src/ITA/") + name).c_str(), O_CREAT | O_WRONLY, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::ftruncate(fd, 0xB0000000LL), 0);
        ::close(fd);
    }
    EXPECT_EQ(upgsim("pack --country ITA --version 6 src/ITA m"), 1);
    EXPECT_NE(err().find("more than a size line holds"), std::string::npos) << err();
    EXPECT_FALSE(fileExists(at("m/MAPPE/ITA/ITA.tgz")));
    fs::remove(at("src/ITA/big1"));
    fs::remove(at("src/ITA/big2"));

    // The release kept from the file, the other keys and descriptor lines
    // kept, the archive's line pointed at the new archive, a group file made.
    ASSERT_EQ(upgsim("pack --country ITA --version 7 src/ITA/ m"), 0) << err();
    EXPECT_EQ(readFile(at("m/MAPPE/ITA/CD_VER.NAV.INF")),
              "CID:ITA\nVERSION:7\nRELEASE:2\nCID_SIZE_4:4096\nCID_SIZE_8:8192\n"
              "CID_SIZE_16:16384\nCID_SIZE_32:32768\nCID_SIZE:65536\nAREA:south\n");
    EXPECT_EQ(readFile(at("m/MAPPE/ITA/DESCRI.DAT")),
              "ICONS,1,MAPPE/ITA/I.DAT,0,icons\n"
              "MAP_ARCHIVE,1,MAPPE/ITA/ITA.tgz,0,map data\n"
              "CID_INFO,1,MAPPE/ITA/CD_VER.NAV.INF,0,country\n"
              "GRUPPO_4_CID,1,MAPPE/ITA/GRUPPO_4_CID.DAT.inf,0,group\n");
    EXPECT_EQ(readFile(at("m/MAPPE/ITA/GRUPPO_4_CID.DAT.inf")), "VER:ITA\n");
    // Packed again without numbers: the file's are kept.
    ASSERT_EQ(upgsim("pack --country ITA src/ITA m --json"), 0) << err();
    EXPECT_EQ(outJson()["version"], "7");
    EXPECT_EQ(outJson()["release"], "2");
    EXPECT_EQ(outJson()["files"], 1);
    EXPECT_EQ(outJson()["folders"], 2);
    EXPECT_FALSE(fileExists(at("m/MAPPE/ITA/ITA.tgz.part")));
    EXPECT_FALSE(fileExists(at("m/MAPPE/ITA/CD_VER.NAV.INF.part")));
}

TEST_F(InitPackCli, PackPoiTakesACountryFolderPerCodeAndListsTheDelivery) {
    ASSERT_TRUE(writeFile(at("m/DESCRI.DAT"), "DB_DOWNLOAD_NAV,1,MAPPE/DVD_VER.NAV,0,list"));
    ASSERT_TRUE(writeFile(at("bad1/tmp_poi/readme.txt"), "x"));
    ASSERT_TRUE(writeFile(at("bad2/tmp_poi/Spain/a.lzw"), "x"));
    ASSERT_TRUE(writeFile(at("bad3/tmp_poi/ESP/a.lzw"), "x"));
    fs::create_directories(at("bad3/tmp_poi/PRT"));
    fs::create_directories(at("bad4/tmp_poi"));
    ASSERT_TRUE(writeFile(at("poi/tmp_poi/ESP/RST.lzw"), "e"));
    ASSERT_TRUE(writeFile(at("other/POIS/ESP/RST.lzw"), "e"));
    struct Case {
        const char *args;
        int status;
        const char *says;
    };
    const Case cases[] = {
        {"pack --poi other/POIS m --poi-version 1", 1, "named POIS, not tmp_poi"},
        {"pack --poi bad1/tmp_poi m --poi-version 1", 1, "a file outside a country's folder"},
        {"pack --poi bad2/tmp_poi m --poi-version 1", 1, "'Spain' is no country code"},
        {"pack --poi bad3/tmp_poi m --poi-version 1", 1, "PRT holds no file"},
        {"pack --poi bad4/tmp_poi m --poi-version 1", 1, "holds no country's folder"},
        {"pack --poi poi/tmp_poi m", 2, "needs --poi-version"},
        {"pack --poi poi/tmp_poi m --poi-version '1 2'", 2, "holds a space"},
        {"pack --poi poi/tmp_poi m --poi-version 1 --poi-date 2024-01", 2, "is no number"},
        {"pack --poi poi/tmp_poi poi --poi-version 1", 1, "no main descriptor"},
        {"pack poi/tmp_poi m --poi-version 1", 2, "--poi"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(upgsim(c.args), c.status) << c.args << "\n" << err();
        EXPECT_NE(err().find(c.says), std::string::npos) << c.args << "\n" << err();
        EXPECT_FALSE(fs::exists(at("m/POI"))) << c.args;
    }
    // Not listed yet: written under the usual name and listed.
    ASSERT_EQ(upgsim("pack --poi poi/tmp_poi m --poi-version 2025.06 --poi-date 20250601"), 0)
        << err();
    EXPECT_EQ(readFile(at("m/DESCRI.DAT")), "DB_DOWNLOAD_NAV,1,MAPPE/DVD_VER.NAV,0,list\n"
                                            "POI_DOWNLOAD,1,POI/POI_UPD.tgz,0,POI delivery\n");
    EXPECT_EQ(readFile(at("m/POI/POI_UPD.tgz.inf")), "VERSION:2025.06\nDATE:20250601\n");
    // Listed under another name: that one is written; the version is kept.
    ASSERT_TRUE(writeFile(at("m/DESCRI.DAT"), "POI_DOWNLOAD,1,EXTRA\\P.tgz,0,pois\n"));
    ASSERT_TRUE(writeFile(at("m/EXTRA/P.tgz.inf"), "VERSION:9\nNOTE:kept\n"));
    ASSERT_EQ(upgsim("pack --poi poi/tmp_poi m --json"), 0) << err();
    EXPECT_EQ(outJson()["archive"], "m/EXTRA/P.tgz");
    EXPECT_EQ(readFile(at("m/EXTRA/P.tgz.inf")), "VERSION:9\nNOTE:kept\n");
    EXPECT_EQ(readFile(at("m/DESCRI.DAT")), "POI_DOWNLOAD,1,EXTRA\\P.tgz,0,pois\n");
    // An .inf that still holds the placeholder gives no version.
    ASSERT_TRUE(writeFile(at("m/EXTRA/P.tgz.inf"), "VERSION:FILL_IN\n"));
    EXPECT_EQ(upgsim("pack --poi poi/tmp_poi m"), 2);
    // A FIFO in its place is never opened (pack would wait on it): replaced.
    fs::remove(at("m/EXTRA/P.tgz.inf"));
    ASSERT_EQ(::mkfifo(at("m/EXTRA/P.tgz.inf").c_str(), 0644), 0);
    EXPECT_EQ(upgsim("pack --poi poi/tmp_poi m --poi-version 3"), 0) << err();
    EXPECT_EQ(readFile(at("m/EXTRA/P.tgz.inf")), "VERSION:3\n");
}

// A country whose version was written by hand but whose data were never
// packed is still a to-do, while its sources lie beside the medium; a
// medium that is no project gets no to-do.
TEST_F(InitPackCli, CheckSaysWhatIsLeftOnlyForAProject) {
    ASSERT_EQ(upgsim("init p --countries ESP,PRT --year 2025 --quarter 1"), 0) << err();
    ASSERT_TRUE(writeFile(at("p/medium/MAPPE/ESP/CD_VER.NAV.INF"),
                          "CID:ESP\nVERSION:5\nRELEASE:1\nCID_SIZE:10\n"));
    ASSERT_TRUE(writeFile(at("p/maps/PRT/P.DAT"), "p"));
    ASSERT_EQ(upgsim("pack --country PRT --version 1 --release 0 p/maps/PRT p/medium"), 0) << err();
    EXPECT_EQ(findings("p/medium"), std::vector<std::string>{"TODO_MAPS MAPPE/ESP"}) << out();
    // Without the sources beside it, the missing archive is an ordinary fault.
    fs::remove_all(at("p/maps/ESP"));
    const std::vector<std::string> plain = findings("p/medium");
    EXPECT_NE(std::find(plain.begin(), plain.end(), "DESCRI_PATH_MISSING MAPPE/ESP/DESCRI.DAT"),
              plain.end())
        << out();
    EXPECT_EQ(std::count_if(plain.begin(), plain.end(),
                            [](const std::string &f) { return f.compare(0, 5, "TODO_") == 0; }),
              0)
        << out();
}

} // namespace
