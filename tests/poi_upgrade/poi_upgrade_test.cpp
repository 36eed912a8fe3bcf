// POI installation end to end: archives built in code are installed with the
// builtin "InstalPOIs" onto a simulated SD card, and the staging folders, the
// work folders, the user folders, the result and the bargraph are checked.
#include "builtins/C_BUILTINS.h"
#include "platform/hostsim/hostsim.h"
#include "poi_upgrade/C_POI_UPG.h"
#include "tests/support/tar_builder.h"
#include "tests/support/unit_fixture.h"
#include "unit/hmi.h"
#include "untgz/C_UNTGZ.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

using testsupport::fileExists;
using testsupport::readFile;
using testsupport::writeFile;

typedef std::map<std::string, std::string> Files; // name -> content

const char k_text[] = "Installing POIs";

// Read-only opens of host paths holding `g_fail_marker` fail (the copy of such
// a file fails); the first path that failed is kept.
std::string g_fail_marker;
std::string g_failed_path;
bool g_fail_once = false;

int FailingOpen(const char *hostPath, int flags, int mode) {
    std::string path(hostPath);
    bool matches = (flags & O_ACCMODE) == O_RDONLY && !g_fail_marker.empty() &&
                   path.find(g_fail_marker) != std::string::npos;
    if (matches && (!g_fail_once || g_failed_path.empty() || g_failed_path == path)) {
        g_failed_path = path;
        errno = EIO;
        return -1;
    }
    return ::open(hostPath, flags, mode);
}

class PoiUpgradeTest : public testsupport::UnitFixture {
protected:
    void SetUp() override {
        UnitFixture::SetUp();
        g_fail_marker.clear();
        g_failed_path.clear();
        g_fail_once = false;
        // 500-tick pauses pass in a few milliseconds.
        hostsim::setTickRate(100000);
        ASSERT_NE(C_BUILTINS::Instance(), nullptr);
        fs::create_directories(host("/SDH/MAPPE"));
    }
    void TearDown() override {
        hostsim::resetFileOps();
        UnitFixture::TearDown();
    }

    // Writes the delivery "/DVD/POI.tgz" (files named "CID/name") and, unless
    // `inf` is null, its version file.
    void Deliver(const Files &files, const char *inf = "POI VERSION 12") {
        testsupport::TarBuilder tar;
        tar.dir(m_top);
        std::set<std::string> dirs;
        for (const auto &f : files) {
            std::string cid = f.first.substr(0, f.first.find('/'));
            if (dirs.insert(cid).second)
                tar.dir(m_top + cid + "/");
            tar.file(m_top + f.first, f.second);
        }
        ASSERT_TRUE(writeFile(host("/DVD/POI.tgz"), testsupport::gzip(tar.finish())));
        if (inf != nullptr) {
            ASSERT_TRUE(writeFile(host("/DVD/POI.tgz.inf"), inf));
        }
    }

    void InstallMap(const std::string &cid) { fs::create_directories(host("/SDH/MAPPE/" + cid)); }

    void WriteUserFolder(const std::string &cid, const Files &files) {
        for (const auto &f : files)
            ASSERT_TRUE(writeFile(host("/SDH/MAPPE/POI_USER/" + cid + "/" + f.first), f.second));
    }

    int Install(const char *archive = "/DVD/POI.tgz") {
        val_t result;
        EXPECT_TRUE(hostsim::callBuiltin(
            "InstalPOIs", {hostsim::EicArg::Ptr(archive), hostsim::EicArg::Ptr(k_text)}, &result));
        return result.ival;
    }

    // Regular files of a host folder (not recursive), by name.
    static Files Folder(const std::string &hostDir) {
        Files files;
        std::error_code ec;
        for (const auto &e : fs::directory_iterator(hostDir, ec))
            if (e.is_regular_file())
                files[e.path().filename().string()] = readFile(e.path().string());
        return files;
    }

    Files Staged(const std::string &cid) { return Folder(host("/SDH/MAPPE/POI_USER/TEMP_" + cid)); }

    void ExpectWorkFoldersRemoved() {
        EXPECT_FALSE(fileExists(host("/SDH/MAPPE/tmp_poi")));
        EXPECT_FALSE(fileExists(host("/SDH/MAPPE/MERGE")));
    }

    static std::vector<int> BargraphSteps() {
        std::vector<int> steps;
        for (const unit::HmiCall &call : unit::hmiCalls(unit::HmiFunction::StepBargraph)) {
            EXPECT_EQ(call.text, k_text);
            steps.push_back(call.values.at(0));
        }
        return steps;
    }

    // The folder the deliveries are packed under ("./tmp_poi/" when packed
    // from its parent folder with "tar -czf P.tgz ./tmp_poi").
    std::string m_top = "tmp_poi/";
};

TEST_F(PoiUpgradeTest, CountryWithoutUserFolderStagesTheDeliveredFiles) {
    InstallMap("FRA");
    ASSERT_TRUE(writeFile(host("/SDH/POI_VER.POI"), "installed"));
    Files delivered = {{"FRA/ABC.lzw", "abc new"},
                       {"FRA/ABC_2.lzw", "abc two"},
                       {"FRA/poi_ver_ABC.txt", "PREFIX:ABC\nDATE:200\n"},
                       {"FRA/other.dat", "no group"}};
    Deliver(delivered);
    const std::string tracePath = root() + "/operations";
    const int trace = ::open(tracePath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(trace, 0);
    hostsim::traceStateOps(trace);

    EXPECT_EQ(Install(), 0);

    hostsim::traceStateOps(-1);
    ::close(trace);
    // The staged version claims the staging folder: it is written after the
    // folder is in place and the card flushed, and synced before its rename.
    const std::string ops = readFile(tracePath);
    const size_t staging = ops.find("\trename\t/SDH/MAPPE/MERGE/FRA\n"); // to TEMP_FRA
    const size_t flush = ops.rfind("\tflush\t/SDH\n");
    const size_t version = ops.find("\topen\t/SDH/TEMP_POI_VER.POI");
    const size_t sync = ops.find("\tsync\t/SDH/TEMP_POI_VER.POI");
    const size_t rename = ops.find("\trename\t/SDH/TEMP_POI_VER.POI");
    ASSERT_NE(staging, std::string::npos) << ops;
    ASSERT_NE(rename, std::string::npos) << ops;
    EXPECT_TRUE(staging < flush && flush < version && version < sync && sync < rename) << ops;
    EXPECT_TRUE(hostsim::unsyncedFiles().empty());

    Files expected;
    for (const auto &f : delivered)
        expected[f.first.substr(4)] = f.second;
    EXPECT_EQ(Staged("FRA"), expected);
    EXPECT_EQ(readFile(host("/SDH/TEMP_POI_VER.POI")), "POI VERSION 12");
    EXPECT_FALSE(fileExists(host("/SDH/POI_VER.POI")));
    EXPECT_FALSE(fileExists(host("/SDH/MAPPE/POI_USER/FRA")));
    ExpectWorkFoldersRemoved();
    EXPECT_EQ(BargraphSteps(), (std::vector<int>{10, 45, 60, 65, 90, 75, 100}));
    std::string text = log();
    EXPECT_NE(text.find("************** Instal POIs *****************\n"), std::string::npos);
    EXPECT_NE(text.find(" - (C_POI_UPG) Merge new POI CID  FRA \n"), std::string::npos);
    EXPECT_EQ(text.find("ManageFilesInsideMergeFolder"), std::string::npos);
}

// "tar -C dir -czf P.tgz ./tmp_poi" packs every entry under "./tmp_poi/":
// the same delivery, installed the same way.
TEST_F(PoiUpgradeTest, DeliveryPackedAsDotSlashTmpPoiInstalls) {
    InstallMap("FRA");
    m_top = "./tmp_poi/";
    Deliver({{"FRA/ABC.lzw", "abc new"}, {"FRA/poi_ver_ABC.txt", "PREFIX:ABC\n"}});

    EXPECT_EQ(Install(), 0) << log();
    EXPECT_EQ(Staged("FRA"), (Files{{"ABC.lzw", "abc new"}, {"poi_ver_ABC.txt", "PREFIX:ABC\n"}}));
    EXPECT_EQ(readFile(host("/SDH/TEMP_POI_VER.POI")), "POI VERSION 12");
    ExpectWorkFoldersRemoved();
}

// The three 500-tick pauses lie between 10 and 45, between 60 and 65, and
// after 100; a failed extraction skips the last one.
TEST_F(PoiUpgradeTest, PausesFallBetweenTheBargraphSteps) {
    InstallMap("FRA");
    Deliver({{"FRA/ABC.lzw", "new"}});

    EXPECT_EQ(Install(), 0);
    unsigned long returned = tickGet();

    std::vector<unit::HmiCall> steps = unit::hmiCalls(unit::HmiFunction::StepBargraph);
    ASSERT_EQ(steps.size(), 7u);
    EXPECT_GE(steps[1].tick - steps[0].tick, 500u); // 10 -> 45
    EXPECT_GE(steps[3].tick - steps[2].tick, 500u); // 60 -> 65
    EXPECT_GE(returned - steps[6].tick, 500u);      // after 100
}

TEST_F(PoiUpgradeTest, OnlyTheNewerGroupReplacesTheUsersFiles) {
    InstallMap("FRA");
    const Files user = {{"ABC.lzw", "abc old"},
                        {"ABC_1.lzw", "abc1 old"},
                        {"poi_ver_ABC.txt", "PREFIX:ABC\nDATE:100\n"},
                        {"XYZ.lzw", "xyz old"},
                        {"poi_ver_XYZ.txt", "PREFIX:XYZ\nDATE:300\n"},
                        {"mine.dat", "the user's own"}};
    WriteUserFolder("FRA", user);
    Deliver({{"FRA/ABC.lzw", "abc new"},
             {"FRA/ABC_1.lzw", "abc1 new"},
             {"FRA/poi_ver_ABC.txt", "PREFIX:ABC\nDATE:200\n"},
             {"FRA/XYZ.lzw", "xyz new"},
             {"FRA/XYZdsc.lzw", "xyz description"},
             {"FRA/poi_ver_XYZ.txt", "PREFIX:XYZ\nDATE:250\n"},
             {"FRA/stray.lzw", "no group"},
             {"FRA/readme.dat", "no group either"}});

    EXPECT_EQ(Install(), 0);

    Files expected = user;
    expected["ABC.lzw"] = "abc new";
    expected["ABC_1.lzw"] = "abc1 new";
    expected["poi_ver_ABC.txt"] = "PREFIX:ABC\nDATE:200\n";
    EXPECT_EQ(Staged("FRA"), expected);
    EXPECT_EQ(Folder(host("/SDH/MAPPE/POI_USER/FRA")), user);
    ExpectWorkFoldersRemoved();
    std::string text = log();
    EXPECT_NE(text.find("Date of new file is higher : Upgrade allowed\n"), std::string::npos);
    EXPECT_NE(text.find("Date of new file is lower : Upgrade not allowed\n"), std::string::npos);
}

TEST_F(PoiUpgradeTest, DateRules) {
    // FRA: equal dates; DEU: no DATE installed; ITA: no DATE delivered.
    for (const char *cid : {"FRA", "DEU", "ITA"}) {
        InstallMap(cid);
        WriteUserFolder(cid, {{"ABC.lzw", "old"}});
    }
    WriteUserFolder("FRA", {{"poi_ver_ABC.txt", "PREFIX:ABC\nDATE:150\n"}});
    WriteUserFolder("DEU", {{"poi_ver_ABC.txt", "PREFIX:ABC\n"}});
    WriteUserFolder("ITA", {{"poi_ver_ABC.txt", "PREFIX:ABC\nDATE:150\n"}});
    Deliver({{"FRA/ABC.lzw", "new"},
             {"FRA/poi_ver_ABC.txt", "PREFIX:ABC\nDATE:150\n"},
             {"DEU/ABC.lzw", "new"},
             {"DEU/poi_ver_ABC.txt", "PREFIX:ABC\nDATE:1\n"},
             {"ITA/ABC.lzw", "new"},
             {"ITA/poi_ver_ABC.txt", "PREFIX:ABC\n"}});

    EXPECT_EQ(Install(), 0);

    EXPECT_EQ(Staged("FRA").at("ABC.lzw"), "new");
    EXPECT_EQ(Staged("DEU").at("ABC.lzw"), "new");
    EXPECT_EQ(Staged("DEU").at("poi_ver_ABC.txt"), "PREFIX:ABC\nDATE:1\n");
    EXPECT_EQ(Staged("ITA").at("ABC.lzw"), "old");
    EXPECT_EQ(Staged("ITA").at("poi_ver_ABC.txt"), "PREFIX:ABC\nDATE:150\n");
    std::string text = log();
    EXPECT_NE(text.find("No Date in old prefix text file : Upgrade allowed\n"), std::string::npos);
    EXPECT_NE(text.find("No Date in new prefix text file : Upgrade not allowed\n"),
              std::string::npos);
}

TEST_F(PoiUpgradeTest, CountryWithoutInstalledMapIsSkipped) {
    Deliver({{"ESP/ABC.lzw", "new"}});
    EXPECT_EQ(Install(), 0);
    EXPECT_FALSE(fileExists(host("/SDH/MAPPE/POI_USER/TEMP_ESP")));
    EXPECT_NE(log().find(" - (C_POI_UPG) MergeThisNewPOI : The CID ESP doesn't exist in MAPPE\n"),
              std::string::npos);
    ExpectWorkFoldersRemoved();
}

// A country that failed fails the installation whatever the order of the
// countries, and is not staged; the others are.
TEST_F(PoiUpgradeTest, AnyFailedCountryFailsTheInstallation) {
    for (const char *cid : {"FRA", "DEU"}) {
        InstallMap(cid);
        WriteUserFolder(cid, {{"ABC.lzw", "old"}});
    }
    ASSERT_TRUE(writeFile(host("/SDH/POI_VER.POI"), "installed"));
    // The group is announced by a text file outside it, so the group's only
    // file copied from each country is ABC.lzw.
    Deliver({{"FRA/ABC.lzw", "new"},
             {"FRA/announce.txt", "PREFIX:ABC\n"},
             {"DEU/ABC.lzw", "new"},
             {"DEU/announce.txt", "PREFIX:ABC\n"}});
    // The copy of the first country's group file fails.
    hostsim::fileOps().open = FailingOpen;
    g_fail_marker = "/tmp_poi/";
    g_fail_once = true;

    EXPECT_EQ(Install(), -1);

    ASSERT_FALSE(g_failed_path.empty());
    bool fraFirst = g_failed_path.find("/FRA/") != std::string::npos;
    std::string first = fraFirst ? "FRA" : "DEU";
    std::string second = fraFirst ? "DEU" : "FRA";
    std::string text = log();
    EXPECT_LT(text.find("Merge new POI CID  " + first), text.find("Merge new POI CID  " + second));
    EXPECT_EQ(Staged(second).at("ABC.lzw"), "new");
    EXPECT_FALSE(fileExists(host("/SDH/MAPPE/POI_USER/TEMP_" + first)));
    EXPECT_NE(text.find("MergeThisNewPOI : " + first + " not staged\n"), std::string::npos);
    ExpectWorkFoldersRemoved();
    // The installed version stays; the staged one goes.
    EXPECT_EQ(readFile(host("/SDH/POI_VER.POI")), "installed");
    EXPECT_FALSE(fileExists(host("/SDH/TEMP_POI_VER.POI")));
    EXPECT_NE(BargraphSteps().back(), 100);
}

TEST_F(PoiUpgradeTest, MissingVersionFileStopsAtOnce) {
    InstallMap("FRA");
    ASSERT_TRUE(writeFile(host("/SDH/POI_VER.POI"), "installed"));
    Deliver({{"FRA/ABC.lzw", "new"}}, nullptr);

    EXPECT_EQ(Install(), -1);
    EXPECT_FALSE(fileExists(host("/SDH/MAPPE/tmp_poi")));
    EXPECT_FALSE(fileExists(host("/SDH/TEMP_POI_VER.POI")));
    // The installed version is replaced only once the new one is in hand.
    EXPECT_EQ(readFile(host("/SDH/POI_VER.POI")), "installed");
    EXPECT_EQ(BargraphSteps(), std::vector<int>{10});
    EXPECT_EQ(log().find("s_UnCompress"), std::string::npos);
}

TEST_F(PoiUpgradeTest, FailedExtractionIsReturned) {
    InstallMap("FRA");
    ASSERT_TRUE(writeFile(host("/DVD/POI.tgz"), "not an archive"));
    ASSERT_TRUE(writeFile(host("/DVD/POI.tgz.inf"), "v"));
    EXPECT_EQ(Install(), -1);
    EXPECT_EQ(BargraphSteps(), (std::vector<int>{10, 45, 60, 65}));
    EXPECT_FALSE(fileExists(host("/SDH/MAPPE/MERGE")));
}

TEST_F(PoiUpgradeTest, LeftoversOfAnEarlierInstallationAreRemoved) {
    InstallMap("FRA");
    ASSERT_TRUE(writeFile(host("/SDH/MAPPE/POI_USER/TEMP_ITA/x.lzw"), "left"));
    ASSERT_TRUE(writeFile(host("/SDH/MAPPE/POI_USER/TEMP.OLD"), "left"));
    ASSERT_TRUE(writeFile(host("/SDH/MAPPE/MERGE/DEU/y.lzw"), "left"));
    ASSERT_TRUE(writeFile(host("/SDH/MAPPE/POI_USER/FRA_old/z.lzw"), "left"));
    WriteUserFolder("FRA", {{"ABC.lzw", "old"}});
    Deliver({{"FRA/ABC.lzw", "new"}});

    EXPECT_EQ(Install(), 0);
    EXPECT_FALSE(fileExists(host("/SDH/MAPPE/POI_USER/TEMP_ITA")));
    EXPECT_FALSE(fileExists(host("/SDH/MAPPE/POI_USER/TEMP.OLD")));
    EXPECT_FALSE(fileExists(host("/SDH/MAPPE/POI_USER/FRA_old")));
    EXPECT_TRUE(fileExists(host("/SDH/MAPPE/POI_USER/TEMP_FRA/ABC.lzw")));
    ExpectWorkFoldersRemoved();
}

TEST_F(PoiUpgradeTest, UserFilesThatCannotBeCopiedAreNotStaged) {
    InstallMap("FRA");
    WriteUserFolder("FRA", {{"ABC.lzw", "old"}, {"mine.dat", "keep"}});
    Deliver({{"FRA/ABC.lzw", "new"}, {"FRA/poi_ver_ABC.txt", "PREFIX:ABC\n"}});
    hostsim::fileOps().open = FailingOpen;
    g_fail_marker = "/POI_USER/FRA/mine.dat";

    EXPECT_EQ(Install(), -1);
    EXPECT_FALSE(fileExists(host("/SDH/MAPPE/POI_USER/TEMP_FRA")));
    EXPECT_EQ(Folder(host("/SDH/MAPPE/POI_USER/FRA")),
              (Files{{"ABC.lzw", "old"}, {"mine.dat", "keep"}}));
    ExpectWorkFoldersRemoved();
}

TEST_F(PoiUpgradeTest, FailedStagingMoveIsAFailure) {
    InstallMap("FRA");
    Deliver({{"FRA/ABC.lzw", "new"}});
    hostsim::injectFault(hostsim::FileOp::Mv, 1, EIO, true);

    EXPECT_EQ(Install(), -1);
    EXPECT_NE(log().find("MergeThisNewPOI : mv from /SDH/MAPPE/MERGE/FRA to "
                         "/SDH/MAPPE/POI_USER/TEMP_FRA failed\n"),
              std::string::npos);
    ExpectWorkFoldersRemoved();
}

TEST_F(PoiUpgradeTest, GroupWithAFailedCopyFailsItsCountry) {
    InstallMap("FRA");
    WriteUserFolder("FRA", {{"ABC.lzw", "old"}, {"ABC_1.lzw", "old1"}});
    // ABC.lzw cannot be copied; poi_ver_ABC.txt and ABC_1.lzw still are.
    Deliver({{"FRA/ABC.lzw", "new"},
             {"FRA/ABC_1.lzw", "new1"},
             {"FRA/poi_ver_ABC.txt", "PREFIX:ABC\n"}});
    hostsim::fileOps().open = FailingOpen;
    g_fail_marker = "/tmp_poi/FRA/ABC.lzw";

    EXPECT_EQ(Install(), -1);
    EXPECT_FALSE(fileExists(host("/SDH/MAPPE/POI_USER/TEMP_FRA")));
    EXPECT_EQ(Folder(host("/SDH/MAPPE/POI_USER/FRA")),
              (Files{{"ABC.lzw", "old"}, {"ABC_1.lzw", "old1"}}));
}

// Deliveries that must not install: entries outside "tmp_poi/" (refused
// before anything of theirs is written), or nothing delivered. Each gives -1
// and leaves the user's POIs, the maps and the installed version as they were.
TEST_F(PoiUpgradeTest, DeliveriesThatMustNotInstall) {
    struct Case {
        const char *what;
        std::string entry; // a regular file entry added to the archive
        bool countries;    // the archive also delivers FRA/ABC.lzw
        const char *line;
    };
    const Case cases[] = {
        {"user's POIs", "POI_USER/FRA/mine.dat", true, "entry outside 'tmp_poi/' refused"},
        {"maps", "FRA/map.dat", true, "entry outside 'tmp_poi/' refused"},
        {"look-alike", "tmp_poiX/a", true, "entry outside 'tmp_poi/' refused"},
        {"dotted user's POIs", "./POI_USER/FRA/mine.dat", true, "entry outside 'tmp_poi/' refused"},
        {"dotted look-alike", "././tmp_poiX/a", true, "entry outside 'tmp_poi/' refused"},
        {"dotted climbing out", "./tmp_poi/../FRA/map.dat", true, "leaves the destination folder"},
        {"climbing out", "tmp_poi/../FRA/map.dat", true, "leaves the destination folder"},
        {"no country", "", false, "no country folder in /SDH/MAPPE/tmp_poi"},
    };
    for (const Case &c : cases) {
        testsupport::removeTree(sdDir());
        InstallMap("FRA");
        WriteUserFolder("FRA", {{"mine.dat", "keep"}});
        ASSERT_TRUE(writeFile(host("/SDH/MAPPE/FRA/map.dat"), "map"));
        ASSERT_TRUE(writeFile(host("/SDH/POI_VER.POI"), "installed"));
        testsupport::TarBuilder tar;
        tar.dir("tmp_poi/");
        if (c.countries)
            tar.dir("tmp_poi/FRA/").file("tmp_poi/FRA/ABC.lzw", "new");
        if (!c.entry.empty())
            tar.file(c.entry, "intruder");
        ASSERT_TRUE(writeFile(host("/DVD/POI.tgz"), testsupport::gzip(tar.finish())));
        ASSERT_TRUE(writeFile(host("/DVD/POI.tgz.inf"), "v"));
        hostsim::clearCapturedLog();

        EXPECT_EQ(Install(), -1) << c.what;
        EXPECT_NE(log().find(c.line), std::string::npos) << c.what;
        EXPECT_EQ(Folder(host("/SDH/MAPPE/POI_USER/FRA")), (Files{{"mine.dat", "keep"}})) << c.what;
        EXPECT_EQ(Folder(host("/SDH/MAPPE/FRA")), (Files{{"map.dat", "map"}})) << c.what;
        EXPECT_FALSE(fileExists(host("/SDH/MAPPE/tmp_poiX"))) << c.what;
        EXPECT_EQ(readFile(host("/SDH/POI_VER.POI")), "installed") << c.what;
        EXPECT_FALSE(fileExists(host("/SDH/TEMP_POI_VER.POI"))) << c.what;
    }
    // Other extractions are not restricted afterwards.
    C_UNTGZ *untgz = C_UNTGZ::GetInstance();
    ASSERT_TRUE(writeFile(host("/DVD/any.tgz"),
                          testsupport::gzip(testsupport::TarBuilder().file("x", "1").finish())));
    EXPECT_EQ(untgz->Untar("/DVD/any.tgz", "/SDH/", 0, 1), 0);
    EXPECT_TRUE(hostsim::waitAllTasks(10000));
    EXPECT_EQ(readFile(host("/SDH/x")), "1");

    // An empty archive path touches nothing, not even an earlier leftover.
    ASSERT_TRUE(writeFile(host("/SDH/MAPPE/POI_USER/TEMP_ITA/x.lzw"), "left"));
    EXPECT_EQ(Install(""), -1);
    EXPECT_TRUE(fileExists(host("/SDH/MAPPE/POI_USER/TEMP_ITA/x.lzw")));
}

TEST_F(PoiUpgradeTest, InstalPOIsRefusesAnOverlongPath) {
    std::string path = "/DVD/" + std::string(761, 'p');
    ASSERT_EQ(path.size(), 766u);
    EXPECT_EQ(Install(path.c_str()), -1);
    EXPECT_NE(log().find("InstalPOIs ERROR: archive path longer than 765 characters\n"),
              std::string::npos);
    EXPECT_EQ(log().find("UpgradeTask"), std::string::npos);
    EXPECT_TRUE(unit::hmiCalls().empty());
}

TEST_F(PoiUpgradeTest, NoCountryFolderIsAFailure) {
    C_POI_UPG l_poi(CKWString("/DVD/POI.tgz"), const_cast<char *>(k_text));
    EXPECT_EQ(l_poi.ManagementOfNewPOIs(), -1);
    EXPECT_NE(log().find(" - (C_POI_UPG)  ManagementOfNewPOIs  opendir (/SDH/MAPPE/tmp_poi) is "
                         "NULL !!!\n"),
              std::string::npos);
    EXPECT_TRUE(unit::hmiCalls().empty());
}

} // namespace
