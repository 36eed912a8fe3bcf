// The medium checker: a clean medium passes with no finding and the same
// report twice; each fault a medium may carry is found with its code and
// path (table below), also in archives written by GNU tar and Python's
// tarfile; countries' reasons are the module's; card snapshots tell what a
// script changed; the command's exit codes and JSON shape.
#include "tests/support/archive_tools.h"
#include "tests/support/media_builder.h"
#include "tests/support/tar_builder.h"
#include "tests/support/unit_fixture.h"
#include "tools/mediacheck/findings.h"
#include "tools/mediacheck/mediacheck.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <sstream>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

// The codes that the script-run tests (outcome_test.cpp, labelled slow)
// assert that the check makes.
std::vector<std::string> codesTheRunTestsMake();
using namespace testsupport;

namespace {

const KeyValues k_all_sizes = {{"CID_SIZE_4", "8192"},
                               {"CID_SIZE_8", "16384"},
                               {"CID_SIZE_16", "32768"},
                               {"CID_SIZE_32", "65536"},
                               {"CID_SIZE", "4000"}};

// A small country-selection medium: France and Italia, each with its map
// archive, and a POI delivery for both.
class Medium {
public:
    explicit Medium(const std::string &root) : m_root(root) {}

    void build(const KeyValues &itaSizes = k_all_sizes) {
        removeTree(m_root);
        MediaBuilder mb(m_root);
        CountryDef fra, ita;
        fra.cid = "FRA";
        fra.name = "France";
        fra.sizes = k_all_sizes;
        ita.cid = "ITA";
        ita.name = "Italia";
        ita.sizes = itaSizes;
        mb.country(fra).country(ita);
        ASSERT_TRUE(mb.build());
        ASSERT_TRUE(mb.write("ICONS/BRANDS.BIN", "icons"));
        for (const char *cid : {"FRA", "ITA"}) {
            const std::string c = cid;
            TarBuilder t;
            t.dir(c + "/").file(c + "/map.dat", sampleContent(3000, 1)).file(c + "/idx.dat", "i");
            setArchive(c, gzip(t.finish()));
            append("MAPPE/" + c + "/DESCRI.DAT",
                   descriLine("MAP_ARCHIVE", "MAPPE\\" + c + "\\" + c + ".tgz"));
        }
        TarBuilder poi;
        poi.dir("tmp_poi/").dir("tmp_poi/FRA/").file("tmp_poi/FRA/RST.lzw", "restaurants");
        poi.file("tmp_poi/FRA/poi_ver_RST.txt", "PREFIX:RST\r\nDATE:20240101\r\n");
        poi.dir("tmp_poi/ITA/").file("tmp_poi/ITA/RST.lzw", "ristoranti");
        setPoi(gzip(poi.finish()));
        ASSERT_TRUE(writeFile(m_root + "/POI/POI_UPD.tgz.inf", "VERSION:7\r\nDATE:20240101\r\n"));
        append("DESCRI.DAT", descriLine("POI_DOWNLOAD", "POI\\POI_UPD.tgz"));
    }

    void setArchive(const std::string &cid, const std::string &bytes) {
        ASSERT_TRUE(writeFile(archive(cid), bytes));
    }
    void setPoi(const std::string &bytes) {
        ASSERT_TRUE(writeFile(m_root + "/POI/POI_UPD.tgz", bytes));
    }
    std::string archive(const std::string &cid) const {
        return m_root + "/MAPPE/" + cid + "/" + cid + ".tgz";
    }
    void append(const std::string &rel, const std::string &text) {
        ASSERT_TRUE(writeFile(m_root + "/" + rel, readFile(m_root + "/" + rel) + text));
    }
    // A tar of one file entry under the country's folder, then the usual files.
    void setFraTar(const std::function<void(TarBuilder &)> &entries) {
        TarBuilder t;
        t.dir("FRA/").file("FRA/map.dat", sampleContent(3000, 1));
        entries(t);
        setArchive("FRA", gzip(t.finish()));
    }
    const std::string &root() const { return m_root; }

private:
    std::string m_root;
};

class MediaCheck : public UnitFixture {
protected:
    void SetUp() override {
        UnitFixture::SetUp();
        hostsim::setTickRate(6000);
    }
    int check(mediacheck::CheckReport &report, long long capacity = -1, int table = -1) {
        mediacheck::CheckOptions o;
        o.mediaDir = mediaDir();
        o.sdDir = sdDir();
        o.sdCapacity = capacity;
        o.scratchParent = root();
        if (table >= 0)
            o.scriptTableSize = table;
        return mediacheck::runMediaCheck(o, report);
    }
    static bool hasCode(const mediacheck::CheckReport &r, const std::string &code) {
        for (const auto &f : r.findings)
            if (f.code == code)
                return true;
        return false;
    }
    static bool hasFinding(const mediacheck::CheckReport &r, const std::string &code,
                           const std::string &path) {
        for (const auto &f : r.findings)
            if (f.code == code && f.path == path)
                return true;
        return false;
    }
};

TEST_F(MediaCheck, CleanMediumHasNoFindingAndTheSameReportTwice) {
    Medium m(mediaDir());
    m.build();
    mediacheck::CheckReport first, second;
    EXPECT_EQ(check(first), 0) << mediacheck::renderText(first);
    EXPECT_TRUE(first.findings.empty()) << mediacheck::renderText(first);
    EXPECT_EQ(first.upgradeType, 1);
    ASSERT_EQ(first.countries.size(), 2u);
    for (const auto &c : first.countries)
        for (long bs : first.blockSizes)
            EXPECT_TRUE(c.offered.at(bs)) << c.cid << " at " << bs;
    EXPECT_EQ(first.archivesRead, 3);
    // Nothing of the scratch card is left behind.
    EXPECT_EQ(std::distance(fs::directory_iterator(root()), fs::directory_iterator()), 3);

    EXPECT_EQ(check(second), 0);
    EXPECT_EQ(mediacheck::renderJson(first), mediacheck::renderJson(second));
    EXPECT_EQ(mediacheck::renderText(first), mediacheck::renderText(second));
}

TEST_F(MediaCheck, ReasonsOfCountriesLeftOutAreTheModules) {
    Medium m(mediaDir());
    m.build({{"CID_SIZE_4", "1"}, {"CID_SIZE_8", "1"}}); // ITA: no size for 16K, 32K or 512
    InstalledCountry newer;
    newer.cid = "FRA";
    newer.version = "9";
    newer.release = "1";
    ASSERT_TRUE(writeInstalledCountry(sdDir(), newer));
    mediacheck::CheckReport r;
    EXPECT_EQ(check(r), 1);
    ASSERT_EQ(r.countries.size(), 2u);
    const auto &fra = r.countries[0];
    const auto &ita = r.countries[1];
    EXPECT_EQ(fra.reasons.at(4096), "the card holds a newer version (9 against 5 on the medium)");
    EXPECT_FALSE(hasFinding(r, "COUNTRY_REFUSED", "MAPPE/FRA")); // the card's choice, no fault
    EXPECT_TRUE(ita.offered.at(4096));
    EXPECT_TRUE(ita.offered.at(8192));
    EXPECT_FALSE(ita.offered.at(32768));
    EXPECT_NE(ita.reasons.at(32768).find("neither CID_SIZE_32 nor CID_SIZE"), std::string::npos);
    EXPECT_NE(ita.reasons.at(512).find("no CID_SIZE in"), std::string::npos);
    EXPECT_TRUE(hasFinding(r, "COUNTRY_BLOCK_SIZE", "MAPPE/ITA"));

    // The same decisions for analyse, at the block size the card reports.
    hostsim::mountDevice("/DVD", mediaDir());
    hostsim::mountDevice("/SDH", sdDir(), 32768);
    mediacheck::OfferRun run = mediacheck::decideCountries();
    ASSERT_EQ(run.countries.size(), 2u);
    EXPECT_EQ(run.countries[1].decision, mediacheck::Decision::MediumFault);
    EXPECT_EQ(run.countries[0].decision, mediacheck::Decision::CardNewer);
}

// One fault per case: the finding's code and path, and the exit code. A
// case without a code is a medium the unit handles as tar does: no finding.
struct Fault {
    const char *name;
    std::function<bool(Medium &, const std::string &work)> make; // false: tool missing
    const char *code;
    const char *path;
    int rc;
    long long capacity;         // also played on the card's device, as the command does
    bool only = false;          // no finding of another code
    int table = -1;             // the script's country table size (-1: the real one)
    const char *says = nullptr; // a text the JSON report holds (a reason, a name)
};

// Replaces the first `from` in the medium's file `rel` by `to`.
bool edit(Medium &m, const std::string &rel, const std::string &from, const std::string &to) {
    std::string text = readFile(m.root() + "/" + rel);
    const size_t at = text.find(from);
    return at != std::string::npos &&
           writeFile(m.root() + "/" + rel, text.replace(at, from.size(), to));
}

// The reading of the module's lines, one case per line the reader knows: the
// medium is spoiled for ITA (FRA stays offered), the module plays it, and
// the reader must reach the expected decision and reason. A reworded module
// line fails here.
struct Reading {
    const char *name;
    std::function<bool(Medium &)> spoil;
    mediacheck::Decision decision;
    const char *reason; // ITA's exact reason
    long blockSize = 4096;
};

const Reading k_readings[] = {
    {"NoDescriptor", [](Medium &m) { return fs::remove(m.root() + "/MAPPE/ITA/DESCRI.DAT"); },
     mediacheck::Decision::NoDescriptor, "no DESCRI.DAT in MAPPE/ITA"},
    {"DescriptorUnreadable",
     [](Medium &m) {
         return fs::remove(m.root() + "/MAPPE/ITA/DESCRI.DAT") &&
                fs::create_directory(m.root() + "/MAPPE/ITA/DESCRI.DAT");
     },
     mediacheck::Decision::MediumFault, "MAPPE/ITA/DESCRI.DAT cannot be read"},
    {"InformationFileNotListed",
     [](Medium &m) { return edit(m, "MAPPE/ITA/DESCRI.DAT", "CD_VER.NAV.INF", "CD_VER.NAV.OLD"); },
     mediacheck::Decision::MediumFault, "MAPPE/ITA/DESCRI.DAT lists no CD_VER.NAV.INF"},
    {"InformationFileMissing",
     [](Medium &m) { return fs::remove(m.root() + "/MAPPE/ITA/CD_VER.NAV.INF"); },
     mediacheck::Decision::MediumFault,
     "information file listed but missing: MAPPE/ITA/CD_VER.NAV.INF"},
    {"NoCIDLine", [](Medium &m) { return edit(m, "MAPPE/ITA/CD_VER.NAV.INF", "CID:", "XID:"); },
     mediacheck::Decision::MediumFault, "no CID line in MAPPE/ITA/CD_VER.NAV.INF"},
    {"GroupFileNotListed",
     [](Medium &m) {
         return edit(m, "MAPPE/ITA/DESCRI.DAT", "GRUPPO_4_CID.DAT.inf", "GRUPPO_4_CID.DAT.old");
     },
     mediacheck::Decision::MediumFault, "MAPPE/ITA/DESCRI.DAT lists no GRUPPO_4_CID.DAT.inf"},
    {"GroupFileMissing",
     [](Medium &m) { return fs::remove(m.root() + "/MAPPE/ITA/GRUPPO_4_CID.DAT.inf"); },
     mediacheck::Decision::MediumFault,
     "group file listed but missing: MAPPE/ITA/GRUPPO_4_CID.DAT.inf"},
    {"GroupFileWithoutVER",
     [](Medium &m) { return writeFile(m.root() + "/MAPPE/ITA/GRUPPO_4_CID.DAT.inf", "X:1\r\n"); },
     mediacheck::Decision::MediumFault,
     "no VER line in the group file MAPPE/ITA/GRUPPO_4_CID.DAT.inf"},
    {"GroupFileOfAnotherCountry",
     [](Medium &m) {
         return writeFile(m.root() + "/MAPPE/ITA/GRUPPO_4_CID.DAT.inf", "VER:FRA\r\n");
     },
     mediacheck::Decision::MediumFault, "the group file says VER:FRA, not the CID ITA"},
    {"NoLineInTheCurrentVersionFile",
     [](Medium &m) { return edit(m, "MAPS/CURR_VERS_NAVI.TXT", "ITA", "XYZ"); },
     mediacheck::Decision::MediumFault, "no complete line for CID ITA in CURR_VERS_NAVI.TXT"},
    {"NoVersionLine",
     [](Medium &m) { return edit(m, "MAPPE/ITA/CD_VER.NAV.INF", "VERSION:", "XVERSION:"); },
     mediacheck::Decision::MediumFault, "no VERSION line in MAPPE/ITA/CD_VER.NAV.INF"},
    {"NoReleaseLine",
     [](Medium &m) { return edit(m, "MAPPE/ITA/CD_VER.NAV.INF", "RELEASE:", "XRELEASE:"); },
     mediacheck::Decision::MediumFault, "no RELEASE line in MAPPE/ITA/CD_VER.NAV.INF"},
    {"NoSizeForTheBlocks",
     [](Medium &m) {
         return edit(m, "MAPPE/ITA/CD_VER.NAV.INF", "CID_SIZE_4:", "X:") &&
                edit(m, "MAPPE/ITA/CD_VER.NAV.INF", "CID_SIZE:", "Y:");
     },
     mediacheck::Decision::MediumFault,
     "no size for 4096-byte blocks in MAPPE/ITA/CD_VER.NAV.INF (neither CID_SIZE_4 nor "
     "CID_SIZE)"},
    {"NoSizeForOddBlocks",
     [](Medium &m) { return edit(m, "MAPPE/ITA/CD_VER.NAV.INF", "CID_SIZE:", "X:"); },
     mediacheck::Decision::MediumFault,
     "no CID_SIZE in MAPPE/ITA/CD_VER.NAV.INF (blocks of 512 bytes have no size key of their "
     "own)",
     512},
    {"NewerVersionOnTheCard",
     [](Medium &m) {
         InstalledCountry c;
         c.cid = "ITA";
         c.version = "9";
         c.release = "1";
         return writeInstalledCountry(m.root() + "/../sd", c);
     },
     mediacheck::Decision::CardNewer, "the card holds a newer version (9 against 5 on the medium)"},
    {"NewerReleaseOnTheCard",
     [](Medium &m) {
         InstalledCountry c;
         c.cid = "ITA";
         c.version = "5";
         c.release = "3";
         return writeInstalledCountry(m.root() + "/../sd", c);
     },
     mediacheck::Decision::CardNewer,
     "the card holds a newer release (3 against 1 on the medium, version 5)"},
    {"NegativeReleaseOnAnEmptyCard",
     [](Medium &m) {
         return edit(m, "MAPPE/ITA/CD_VER.NAV.INF", "VERSION:5", "VERSION:0") &&
                edit(m, "MAPPE/ITA/CD_VER.NAV.INF", "RELEASE:1", "RELEASE:-1");
     },
     mediacheck::Decision::MediumFault,
     "the medium's release -1 (version 0) is below 0, the release of a country the card does "
     "not hold"},
    {"NegativeVersion",
     [](Medium &m) { return edit(m, "MAPPE/ITA/CD_VER.NAV.INF", "VERSION:5", "VERSION:-2"); },
     mediacheck::Decision::MediumFault,
     "the medium's version -2 is below the card's 0 (a country not on the card counts as "
     "version 0)"},
    {"QuotedName",
     [](Medium &m) { return edit(m, "MAPS/CURR_VERS_NAVI.TXT", "\"Italia\"", "\"It' 'Qalia\""); },
     mediacheck::Decision::Offered, ""},
};

class CountryReading : public MediaCheck, public ::testing::WithParamInterface<Reading> {};

TEST_P(CountryReading, ReachesTheModulesDecision) {
    const Reading &c = GetParam();
    Medium m(mediaDir());
    m.build();
    ASSERT_TRUE(c.spoil(m));
    hostsim::mountDevice("/DVD", mediaDir());
    hostsim::mountDevice("/SDH", sdDir(), c.blockSize);
    const mediacheck::OfferRun run = mediacheck::decideCountries();
    ASSERT_EQ(run.upgradeType, 1) << run.typeReason;
    ASSERT_EQ(run.countries.size(), 2u);
    const mediacheck::CountryDecision &fra = run.countries[0];
    const mediacheck::CountryDecision &ita = run.countries[1];
    EXPECT_EQ(fra.decision, mediacheck::Decision::Offered) << fra.reason;
    EXPECT_EQ(fra.name, "France");
    EXPECT_EQ(ita.dir, "ITA");
    EXPECT_EQ(ita.decision, c.decision) << ita.reason;
    EXPECT_EQ(ita.reason, c.reason);
    if (c.decision == mediacheck::Decision::Offered) {
        EXPECT_EQ(ita.name, "It' 'Qalia");
    }
}

INSTANTIATE_TEST_SUITE_P(Lines, CountryReading, ::testing::ValuesIn(k_readings),
                         [](const auto &info) { return std::string(info.param.name); });

// Why a medium offers no upgrade at all, from the lines of the type's choice.
TEST_F(MediaCheck, ReadsWhyTheMediumOffersNoUpgrade) {
    const struct {
        std::function<bool(Medium &)> spoil;
        const char *reason;
    } cases[] = {
        {[](Medium &m) { return fs::remove(m.root() + "/DESCRI.DAT"); },
         "the main descriptor DESCRI.DAT does not open"},
        {[](Medium &m) {
             return fs::remove(m.root() + "/DESCRI.DAT") &&
                    fs::create_directory(m.root() + "/DESCRI.DAT");
         },
         "the main descriptor DESCRI.DAT cannot be read (a folder, or a read error)"},
        {[](Medium &m) { return edit(m, "DESCRI.DAT", "DVD_VER.NAV", "DVD_VER.NAX"); },
         "DESCRI.DAT lists no version file named DVD_VER.NAV or CD_VER.NAV (names are compared "
         "case-sensitively)"},
        {[](Medium &m) { return fs::remove(m.root() + "/MAPS/DVD_VER.NAV"); },
         "the version file listed in DESCRI.DAT is missing"},
    };
    for (const auto &c : cases) {
        Medium m(mediaDir());
        m.build();
        ASSERT_TRUE(c.spoil(m)) << c.reason;
        hostsim::mountDevice("/DVD", mediaDir());
        const mediacheck::OfferRun run = mediacheck::decideCountries();
        EXPECT_EQ(run.upgradeType, -1) << c.reason;
        EXPECT_EQ(run.typeReason, c.reason);
    }
}

const char *const k_fra = "MAPPE/FRA/FRA.tgz";
const char *const k_poi = "POI/POI_UPD.tgz";

std::string hundred() {
    return "FRA/" + std::string(92, 'n') + ".dat";
}

// The usual FRA archive's entries without end blocks, then `rest`.
std::string fraThen(const std::string &rest) {
    TarBuilder t;
    t.dir("FRA/").file("FRA/map.dat", sampleContent(3000, 1));
    return t.bytes() + rest;
}

// A scratch folder's marker naming a process of this host: a dead one (a
// child that has been waited for) or this test.
std::string marker(bool dead) {
    pid_t pid = getpid();
    if (dead && (pid = fork()) == 0)
        _exit(0);
    int status = 0;
    if (dead)
        waitpid(pid, &status, 0);
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    return std::to_string(pid) + " " + host + "\n";
}

// A GNU sparse file of nine one-byte pieces (one every KiB): four in its
// header, five in the extension block after it, then its 9 bytes.
std::string oldGnuSparseWithExtension() {
    auto octal12 = [](uint64_t v) {
        char buf[13];
        std::snprintf(buf, sizeof buf, "%011llo", static_cast<unsigned long long>(v));
        return std::string(buf, 11) + '\0';
    };
    TarHeader h = TarHeader::regular("FRA/sp.dat", 9).typeflag('S');
    h.bytes(257, std::string("ustar  \0", 8));
    for (int k = 0; k < 4; ++k)
        h.bytes(386 + 24 * static_cast<size_t>(k), octal12(1024u * k) + octal12(1));
    h.bytes(482, std::string(1, '\1')).bytes(483, octal12(8 * 1024 + 1));
    std::string ext(512, '\0');
    for (int k = 4; k < 9; ++k)
        ext.replace(24 * static_cast<size_t>(k - 4), 24, octal12(1024u * k) + octal12(1));
    return h.block() + ext + std::string("abcdefghi") + std::string(503, '\0');
}

const Fault k_faults[] = {
    {"ArchiveDeleted", [](Medium &m, const std::string &) { return fs::remove(m.archive("FRA")); },
     "DESCRI_PATH_MISSING", "MAPPE/FRA/DESCRI.DAT", 1, -1},
    {"ArchiveCutShort",
     [](Medium &m, const std::string &) {
         m.setArchive("FRA", cut(readFile(m.archive("FRA")), 200));
         return true;
     },
     "GZ_TRUNCATED", k_fra, 1, -1},
    {"ArchiveCrcWrong",
     [](Medium &m, const std::string &) {
         std::string gz = readFile(m.archive("FRA"));
         gz[gz.size() - 6] ^= 0x55;
         m.setArchive("FRA", gz);
         return true;
     },
     "GZ_CORRUPT", k_fra, 1, -1},
    {"SecondMemberHeaderReservedFlag",
     [](Medium &m, const std::string &) {
         TarBuilder t;
         t.file("FRA/b.dat", "b");
         std::string second = gzip(t.finish());
         second[3] = static_cast<char>(second[3] | 0x20);
         m.setArchive("FRA", readFile(m.archive("FRA")) + second);
         return true;
     },
     "GZ_CORRUPT", k_fra, 1, -1},
    {"SecondMemberCut",
     [](Medium &m, const std::string &) {
         TarBuilder t;
         t.file("FRA/b.dat", sampleContent(5000, 3));
         std::string two = readFile(m.archive("FRA")) + cut(gzip(t.finish()), 30);
         m.setArchive("FRA", two);
         return true;
     },
     "GZ_TRUNCATED", k_fra, 1, -1},
    {"PoiInfMissing",
     [](Medium &m, const std::string &) { return fs::remove(m.root() + "/POI/POI_UPD.tgz.inf"); },
     "POI_INF_MISSING", k_poi, 1, -1},
    // What is listed as an archive (or a POI delivery's .inf) but is no
    // file is told, and never opened: a FIFO would wait for a writer.
    {"ArchiveIsAFifo",
     [](Medium &m, const std::string &) {
         return fs::remove(m.archive("FRA")) && mkfifo(m.archive("FRA").c_str(), 0644) == 0;
     },
     "GZ_NOT_A_FILE", k_fra, 1, -1, true},
    {"ArchiveIsADeviceNodeOrSocket",
     [](Medium &m, const std::string &) {
         if (!fs::remove(m.archive("FRA")))
             return false;
         if (mknod(m.archive("FRA").c_str(), S_IFCHR | 0644, makedev(1, 3)) == 0)
             return true;
         // No device nodes here: a socket is another file that is none.
         const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
         struct sockaddr_un addr = {};
         addr.sun_family = AF_UNIX;
         std::strncpy(addr.sun_path, m.archive("FRA").c_str(), sizeof addr.sun_path - 1);
         const bool bound = bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
         close(fd);
         return bound;
     },
     "GZ_NOT_A_FILE", k_fra, 1, -1, true},
    {"ArchiveIsAFolder",
     [](Medium &m, const std::string &) {
         return fs::remove(m.archive("FRA")) && writeFile(m.archive("FRA") + "/x", "x");
     },
     "GZ_NOT_A_FILE", k_fra, 1, -1, true},
    {"PoiInfIsAFifo",
     [](Medium &m, const std::string &) {
         const std::string inf = m.root() + "/POI/POI_UPD.tgz.inf";
         return fs::remove(inf) && mkfifo(inf.c_str(), 0644) == 0;
     },
     "POI_INF_BAD", "POI/POI_UPD.tgz.inf", 1, -1, true},
    // Files that no card considered takes: found from the headers, without
    // extracting them whole.
    {"ArchiveLargerThanTheCard",
     [](Medium &m, const std::string &) {
         m.setFraTar([](TarBuilder &t) { t.file("FRA/big.dat", std::string(600 * 1024, 'z')); });
         return true;
     },
     "TAR_TOO_LARGE", k_fra, 1, 512 * 1024},
    // A medium that upgsim init laid out and pack has not finished: what is
    // left to do replaces the findings it causes.
    {"CountryStillToPack",
     [](Medium &m, const std::string &) {
         return edit(m, "MAPPE/ITA/CD_VER.NAV.INF", "VERSION:5", "VERSION:FILL_IN");
     },
     "TODO_MAPS", "MAPPE/ITA", 1, -1, true},
    {"PoiDeliveryStillToPack",
     [](Medium &m, const std::string &) {
         return edit(m, "POI/POI_UPD.tgz.inf", "VERSION:7", "VERSION:FILL_IN");
     },
     "TODO_POIS", k_poi, 1, -1, true},
    {"PoiEntryOutsideTmpPoi",
     [](Medium &m, const std::string &) {
         TarBuilder t;
         t.dir("tmp_poi/").file("tmp_poi/FRA/RST.lzw", "r").file("RST.lzw", "stray");
         m.setPoi(gzip(t.finish()));
         return true;
     },
     "POI_OUTSIDE_TMP", k_poi, 1, -1},
    {"VersionFileInLowerCase",
     [](Medium &m, const std::string &) {
         fs::rename(m.root() + "/MAPS/DVD_VER.NAV", m.root() + "/MAPS/dvd_ver.nav");
         std::string d = readFile(m.root() + "/DESCRI.DAT");
         d.replace(d.find("DVD_VER.NAV"), 11, "dvd_ver.nav");
         return writeFile(m.root() + "/DESCRI.DAT", d);
     },
     "VERSION_FILE_CASE", "DESCRI.DAT", 1, -1},
    {"NamedFileSpelledOtherwise",
     [](Medium &m, const std::string &) {
         fs::rename(m.archive("FRA"), m.root() + "/MAPPE/FRA/fra.tgz");
         return true;
     },
     "DESCRI_PATH_CASE", "MAPPE/FRA/DESCRI.DAT", 1, -1},
    // The lint's findings come out of the whole check too (its own table
    // tells the lines).
    {"MapArchiveKeyTypo",
     [](Medium &m, const std::string &) {
         return edit(m, "MAPPE/ITA/DESCRI.DAT", "MAP_ARCHIVE,", "MAP_ARCHIV,");
     },
     "LINT_KEY_UNKNOWN", "MAPPE/ITA/DESCRI.DAT", 1, -1},
    {"SpaceAfterAKey",
     [](Medium &m, const std::string &) {
         return edit(m, "MAPPE/ITA/CD_VER.NAV.INF", "VERSION:", "VERSION :");
     },
     "LINT_SPACE", "MAPPE/ITA/CD_VER.NAV.INF", 1, -1},
    {"ByteOrderMark",
     [](Medium &m, const std::string &) {
         return edit(m, "MAPPE/ITA/DESCRI.DAT", "CID_INFO,", "\xEF\xBB\xBF" "CID_INFO,");
     },
     "LINT_BOM", "MAPPE/ITA/DESCRI.DAT", 1, -1},
    {"OneLineEndsInLf",
     [](Medium &m, const std::string &) {
         return edit(m, "MAPPE/ITA/CD_VER.NAV.INF", "RELEASE:1\r\n", "RELEASE:1\n");
     },
     "LINT_CR", "MAPPE/ITA/CD_VER.NAV.INF", 0, -1, true},
    {"VersionNotANumber",
     [](Medium &m, const std::string &) {
         return edit(m, "MAPPE/ITA/CD_VER.NAV.INF", "VERSION:5", "VERSION:5a");
     },
     "LINT_NOT_INTEGER", "MAPPE/ITA/CD_VER.NAV.INF", 1, -1, true},
    {"KeyGivenTwice",
     [](Medium &m, const std::string &) {
         m.append("MAPPE/ITA/CD_VER.NAV.INF", "VERSION:9\r\n");
         return true;
     },
     "LINT_KEY_TWICE", "MAPPE/ITA/CD_VER.NAV.INF", 0, -1, true},
    // A folder copied without its files: both name MAPPE/ITA/CD_VER.NAV.INF.
    {"FolderNotNamedAfterItsCid",
     [](Medium &m, const std::string &) {
         std::error_code ec;
         fs::copy(m.root() + "/MAPPE/ITA", m.root() + "/MAPPE/ITB", ec);
         return !ec;
     },
     "LINT_FOLDER_NOT_CID", "MAPPE/ITA/CD_VER.NAV.INF", 1, -1},
    {"OneCidInTwoFolders",
     [](Medium &m, const std::string &) {
         std::error_code ec;
         fs::copy(m.root() + "/MAPPE/ITA", m.root() + "/MAPPE/ITB", ec);
         return !ec;
     },
     "LINT_CID_TWICE", "MAPPE/ITA/CD_VER.NAV.INF", 1, -1, false, -1, "of MAPPE/ITB is also"},
    {"GroupFileOfAnotherCountry",
     [](Medium &m, const std::string &) {
         return writeFile(m.root() + "/MAPPE/ITA/GRUPPO_4_CID.DAT.inf", "VER:FRA\r\n");
     },
     "COUNTRY_REFUSED", "MAPPE/ITA", 1, -1},
    {"GroupFileOfAnotherCountryByLine",
     [](Medium &m, const std::string &) {
         return writeFile(m.root() + "/MAPPE/ITA/GRUPPO_4_CID.DAT.inf", "VER:FRA\r\n");
     },
     "LINT_CODE", "MAPPE/ITA/GRUPPO_4_CID.DAT.inf", 1, -1},
    // A finding of a line carries it.
    {"ShortDescriptorLine",
     [](Medium &m, const std::string &) {
         return edit(m, "MAPPE/ITA/DESCRI.DAT", "MAP_ARCHIVE,", "NOTE,short\r\nMAP_ARCHIVE,");
     },
     "DESCRI_SHORT_LINE", "MAPPE/ITA/DESCRI.DAT", 0, -1, true, -1, "\"line\": 3"},
    // The capacity is the space check's alone: the archives extract whole.
    {"NotRoomOnTheCard", [](Medium &, const std::string &) { return true; }, "SPACE_SHORT",
     "(SD card)", 1, 4000, true},
    {"DescriptorInOtherCase",
     [](Medium &m, const std::string &) {
         fs::rename(m.root() + "/MAPPE/ITA/DESCRI.DAT", m.root() + "/MAPPE/ITA/Descri.dat");
         return true;
     },
     "COUNTRY_DESCRI_CASE", "MAPPE/ITA", 1, -1, true},
    // A folder the unit does not take for a country: a warning, no refusal.
    {"FolderWithoutDescriptor",
     [](Medium &m, const std::string &) {
         return writeFile(m.root() + "/MAPPE/EXTRA/notes.txt", "not a country");
     },
     "COUNTRY_NO_DESCRI", "MAPPE/EXTRA", 0, -1, true},
    {"NothingOffered",
     [](Medium &m, const std::string &) {
         for (const char *cid : {"FRA", "ITA"}) {
             InstalledCountry newer;
             newer.cid = cid;
             newer.version = "9";
             newer.release = "1";
             if (!writeInstalledCountry(m.root() + "/../sd", newer))
                 return false;
         }
         return true;
     },
     "NOTHING_OFFERED", "MAPPE", 1, -1, true},
    // An empty card counts as version 0, release 0: the medium's negative
    // release is the cause, not a newer card. (The lint names the signed
    // value's line beside it.)
    {"NegativeReleaseOnAnEmptyCard",
     [](Medium &m, const std::string &) {
         return edit(m, "MAPPE/ITA/CD_VER.NAV.INF", "VERSION:5", "VERSION:0") &&
                edit(m, "MAPPE/ITA/CD_VER.NAV.INF", "RELEASE:1", "RELEASE:-1");
     },
     "COUNTRY_REFUSED", "MAPPE/ITA", 1, -1, false, -1,
     "the medium's release -1 (version 0) is below 0, the release of a country the card does "
     "not hold"},
    {"NegativeVersion",
     [](Medium &m, const std::string &) {
         return edit(m, "MAPPE/ITA/CD_VER.NAV.INF", "VERSION:5", "VERSION:-2");
     },
     "COUNTRY_REFUSED", "MAPPE/ITA", 1, -1, false, -1,
     "the medium's version -2 is below the card's 0"},
    {"CurrentVersionFileNotListed",
     [](Medium &m, const std::string &) {
         return edit(m, "DESCRI.DAT", "CURR_VERS_NAVI.TXT", "CURR_VERS_NAVI.OLD");
     },
     "COUNTRY_REFUSED", "MAPPE/ITA", 1, -1, false, -1,
     "the main descriptor lists no current-version file CURR_VERS_NAVI.TXT"},
    {"CurrentVersionFileListedButMissing",
     [](Medium &m, const std::string &) {
         return fs::remove(m.root() + "/MAPS/CURR_VERS_NAVI.TXT");
     },
     "COUNTRY_REFUSED", "MAPPE/ITA", 1, -1, false, -1,
     "the current-version file CURR_VERS_NAVI.TXT does not open"},
    {"QuoteInACountrysName",
     [](Medium &m, const std::string &) {
         return edit(m, "MAPS/CURR_VERS_NAVI.TXT", "\"Italia\"", "\"Ital'ia\"");
     },
     nullptr, nullptr, 0, -1, false, -1, "\"name\": \"Ital'ia\""},
    {"MoreCountriesThanTheScriptsTable", [](Medium &, const std::string &) { return true; },
     "COUNTRY_TABLE_FULL", "MAPPE", 1, -1, true, 1},
    {"MapArchiveWithAnotherExtension",
     [](Medium &m, const std::string &) {
         const std::string gz = readFile(m.archive("ITA"));
         fs::remove(m.archive("ITA"));
         std::string d = readFile(m.root() + "/MAPPE/ITA/DESCRI.DAT");
         d.replace(d.find("ITA.tgz"), 7, "ITA.tar.gz");
         return writeFile(m.root() + "/MAPPE/ITA/DESCRI.DAT", d) &&
                writeFile(m.root() + "/MAPPE/ITA/ITA.tar.gz", cut(gz, gz.size() / 2));
     },
     "GZ_TRUNCATED", "MAPPE/ITA/ITA.tar.gz", 1, -1, true},
    {"ScratchOfAKilledRunInTheMedium",
     [](Medium &m, const std::string &) {
         return writeFile(m.root() + "/upgsim-check-x1/.upgsim-scratch", marker(true)) &&
                writeFile(m.root() + "/upgsim-check-x1/card/MAPPE/x.tgz", "not an archive");
     },
     "SCRATCH_LEFT_OVER", "upgsim-check-x1", 0, -1, true},
    {"DotDotPath",
     [](Medium &m, const std::string &) {
         m.setFraTar([](TarBuilder &t) { t.file("FRA/../../evil.dat", "x"); });
         return true;
     },
     "TAR_UNSAFE_PATH", k_fra, 1, -1},
    {"NameOf100CharactersWithoutNul",
     [](Medium &m, const std::string &) {
         m.setFraTar([](TarBuilder &t) { t.file(hundred(), "hundred"); });
         return true;
     },
     "TAR_NAME_100", k_fra, 1, -1},
    {"LinkIgnored",
     [](Medium &m, const std::string &) {
         m.setFraTar([](TarBuilder &t) { t.symlink("FRA/l", "map.dat"); });
         return true;
     },
     "TAR_LINK_IGNORED", k_fra, 0, -1},
    {"FifoIgnored",
     [](Medium &m, const std::string &) {
         m.setFraTar([](TarBuilder &t) { t.special("FRA/fifo", '6'); });
         return true;
     },
     "TAR_SPECIAL_IGNORED", k_fra, 0, -1},
    {"NamesEqualButForCase",
     [](Medium &m, const std::string &) {
         m.setFraTar([](TarBuilder &t) { t.file("FRA/MAP.DAT", "other"); });
         return true;
     },
     "TAR_CASE_CLASH", k_fra, 0, -1},
    {"GnuTarLongName",
     [](Medium &m, const std::string &w) {
         return haveTool("tar") && gnuTarGz(w, {{"FRA/" + std::string(120, 'l') + ".dat", "long"}},
                                            m.archive("FRA"), "gnu");
     },
     "TAR_GNU_LONGNAME", k_fra, 1, -1},
    {"GnuTarPax",
     [](Medium &m, const std::string &w) {
         return haveTool("tar") && gnuTarGz(w, {{"FRA/" + std::string(120, 'p') + ".dat", "pax"}},
                                            m.archive("FRA"), "pax");
     },
     "TAR_PAX_HEADER", k_fra, 1, -1},
    {"GnuTarHundredCharacterName",
     [](Medium &m, const std::string &w) {
         return haveTool("tar") && gnuTarGz(w, {{hundred(), "100"}}, m.archive("FRA"), "gnu");
     },
     "TAR_NAME_100", k_fra, 1, -1},
    {"GnuTarSparseFile",
     [](Medium &m, const std::string &w) {
         return haveTool("tar") &&
                gnuTarSparseGz(w, "FRA/sparse.dat", 1 << 20, "end", m.archive("FRA"), "gnu");
     },
     "TAR_SPARSE", k_fra, 1, -1},
    // Python writes a pax header for the name, which the unit writes out.
    {"PythonNonAsciiName",
     [](Medium &m, const std::string &w) {
         return haveTool("python3") && pythonTarGz(w,
                                                   {{"FRA/Fran\xC3\xA7"
                                                     "ais.dat",
                                                     "fr"}},
                                                   m.archive("FRA"));
     },
     "TAR_NON_ASCII_NAME", k_fra, 1, -1},
    // The unit writes a UTF-8 or Latin-1 name's bytes as tar does.
    {"GnuTarUtf8Name",
     [](Medium &m, const std::string &w) {
         return haveTool("tar") && gnuTarGz(w,
                                            {{"FRA/Fran\xC3\xA7"
                                              "ais.dat",
                                              "fr"}},
                                            m.archive("FRA"), "gnu");
     },
     "TAR_NON_ASCII_NAME", k_fra, 0, -1, true},
    {"Latin1Name",
     [](Medium &m, const std::string &) {
         m.setFraTar([](TarBuilder &t) { t.file("FRA/caf\xE9.dat", "cafe"); });
         return true;
     },
     "TAR_NON_ASCII_NAME", k_fra, 0, -1, true},
    {"GnuTarIncremental",
     [](Medium &m, const std::string &w) {
         return haveTool("tar") && gnuTarGz(w, {{"FRA/map.dat", "inc"}}, m.archive("FRA"), "gnu",
                                            "--listed-incremental=" + shellQuote(w + "/snar"));
     },
     "TAR_GNU_INCREMENTAL", k_fra, 1, -1},
    // tar -r: in every extractor the last copy wins.
    {"SameMemberTwice",
     [](Medium &m, const std::string &) {
         m.setFraTar([](TarBuilder &t) { t.file("FRA/map.dat", sampleContent(2000, 7)); });
         return true;
     },
     nullptr, nullptr, 0, -1},
    {"TwoTarsInOneGzipStream",
     [](Medium &m, const std::string &) {
         TarBuilder two;
         two.file("FRA/TWO.DAT", "two");
         m.setArchive("FRA", gzip(fraThen(std::string(1024, '\0')) + two.finish()));
         return true;
     },
     "TAR_AFTER_END", k_fra, 1, -1, true},
    {"LoneZeroBlockBetweenEntries",
     [](Medium &m, const std::string &) {
         m.setFraTar([](TarBuilder &t) { t.zeros(1).file("FRA/two.dat", "two"); });
         return true;
     },
     "TAR_AFTER_END", k_fra, 1, -1, true},
    // Same size, other bytes: told by the content, not the size.
    {"CopyAfterTheEndOverwritesAtTheSameSize",
     [](Medium &m, const std::string &) {
         m.setFraTar([](TarBuilder &t) { t.zeros(2).file("FRA/map.dat", sampleContent(3000, 2)); });
         return true;
     },
     "TAR_AFTER_END", k_fra, 1, -1, true},
    {"TextAfterTheEndBlocks",
     [](Medium &m, const std::string &) {
         m.setArchive("FRA", gzip(fraThen(std::string(1024, '\0') + std::string(512, 't'))));
         return true;
     },
     "TAR_AFTER_END", k_fra, 1, -1, true},
    {"VolumeLabel",
     [](Medium &m, const std::string &) {
         TarBuilder t;
         t.header(TarHeader::regular("MAPS2024", 0).typeflag('V'));
         m.setArchive("FRA", gzip(t.bytes() + fraThen(std::string(1024, '\0'))));
         return true;
     },
     "TAR_LABEL_HEADER", k_fra, 0, -1, true},
    {"DamagedHeaderAfterGoodOnes",
     [](Medium &m, const std::string &) {
         m.setFraTar([](TarBuilder &t) {
             t.header(TarHeader::regular("FRA/bad.dat", 1).checksumOffset(5)).data("b");
         });
         return true;
     },
     "TAR_UNREADABLE", k_fra, 1, -1, true},
    // An empty archive reads alike whether its tar is empty or absent.
    {"GzipOfNothing",
     [](Medium &m, const std::string &) {
         m.setArchive("FRA", gzip(""));
         return true;
     },
     "TAR_EMPTY", k_fra, 0, -1, true},
    {"TarOfZeroBlocksOnly",
     [](Medium &m, const std::string &) {
         m.setArchive("FRA", gzip(std::string(10240, '\0')));
         return true;
     },
     "TAR_EMPTY", k_fra, 0, -1, true},
    {"TwoGzipMembers",
     [](Medium &m, const std::string &) {
         TarBuilder two;
         two.file("FRA/two.dat", "two");
         const std::string tar = fraThen("") + two.finish();
         // Members cut mid-block, and an empty last member (bgzip's end).
         m.setArchive("FRA", gzip(tar.substr(0, 700)) + gzip(tar.substr(700)) + gzip(""));
         return true;
     },
     nullptr, nullptr, 0, -1, false, -1},
    // One past the real limit (the medium's own 4 lines and 2045 more):
    // refused before the module reads it.
    {"MainDescriptorPastItsLineLimit",
     [](Medium &m, const std::string &) {
         std::string lines;
         for (int i = 0; i < 2045; ++i)
             lines += descriLine("ICON_BRANDS", "ICONS\\BRANDS.BIN");
         m.append("DESCRI.DAT", lines);
         return true;
     },
     "MEDIUM_TOO_LARGE", "DESCRI.DAT", 1, -1, true, -1, "more than 2048 lines"},
    // Descriptors, the upgrade type, block sizes, the POI delivery and the
    // options.
    {"MainDescriptorMissing",
     [](Medium &m, const std::string &) { return fs::remove(m.root() + "/DESCRI.DAT"); },
     "DESCRI_MISSING", "DESCRI.DAT", 1, -1},
    {"DescriptorLineOfThreeFields",
     [](Medium &m, const std::string &) {
         m.append("DESCRI.DAT", "ICON_BRANDS,1,ICONS\\BRANDS.BIN\r\n");
         return true;
     },
     "DESCRI_SHORT_LINE", "DESCRI.DAT", 0, -1, true},
    {"NoVersionFileListed",
     [](Medium &m, const std::string &) {
         return edit(m, "DESCRI.DAT", "DVD_VER.NAV", "DVD_VER.OLD") &&
                fs::remove(m.root() + "/MAPS/DVD_VER.NAV");
     },
     "UPGRADE_NONE", "DESCRI.DAT", 1, -1},
    {"NoSizeForTheLargestBlocks",
     [](Medium &m, const std::string &) {
         return edit(m, "MAPPE/ITA/CD_VER.NAV.INF", "CID_SIZE_32:", "CID_SIZE_31:") &&
                edit(m, "MAPPE/ITA/CD_VER.NAV.INF", "CID_SIZE:", "CID_SIZEX:");
     },
     // (The lint names the misspelt keys beside it.)
     "COUNTRY_BLOCK_SIZE", "MAPPE/ITA", 1, -1, false},
    {"PoiForAnUnknownCountry",
     [](Medium &m, const std::string &) {
         TarBuilder t;
         t.dir("tmp_poi/").dir("tmp_poi/FRA/").file("tmp_poi/FRA/RST.lzw", "r");
         t.dir("tmp_poi/DEU/").file("tmp_poi/DEU/RST.lzw", "restaurants");
         m.setPoi(gzip(t.finish()));
         return true;
     },
     "POI_UNKNOWN_COUNTRY", k_poi, 0, -1, true},
    {"MediumFolderGone", [](Medium &m, const std::string &) { return fs::remove_all(m.root()) > 0; },
     "USAGE", nullptr, 2, -1, true},
    // The gzip stream: read as the unit's reader reads it.
    {"ArchiveReadFails",
     [](Medium &m, const std::string &) {
         // A regular file whose first read fails (EIO).
         return fs::remove(m.archive("FRA")) &&
                symlink("/proc/self/mem", m.archive("FRA").c_str()) == 0;
     },
     "GZ_UNREADABLE", k_fra, 1, -1},
    {"PlainTarNotCompressed",
     [](Medium &m, const std::string &) {
         m.setArchive("FRA", fraThen("") + TarBuilder().finish());
         return true;
     },
     "GZ_NOT_GZIP", k_fra, 0, -1, true},
    {"TextAfterTheLastMember",
     [](Medium &m, const std::string &) {
         m.setArchive("FRA", readFile(m.archive("FRA")) + "burned by hand\n");
         return true;
     },
     "GZ_TRAILING_DATA", k_fra, 0, -1, true},
    {"ZerosAfterTheLastMember",
     [](Medium &m, const std::string &) {
         m.setArchive("FRA", readFile(m.archive("FRA")) + std::string(3000, '\0'));
         return true;
     },
     nullptr, nullptr, 0, -1},
    // Tar entries the unit reads otherwise than tar.
    {"PathTooLongForTheUnit",
     [](Medium &m, const std::string &) {
         m.setFraTar([](TarBuilder &t) {
             t.header(TarHeader::regular(std::string(95, 'n'), 1).prefix("FRA/" + std::string(150, 'p')))
                 .data("n");
         });
         return true;
     },
     "TAR_EXTRACT_FAILED", k_fra, 1, -1},
    // A v7 header (no magic): tar ignores its prefix field, the unit joins
    // it, and writes the entry over another one of the same size.
    {"PrefixFieldOfAV7Header",
     [](Medium &m, const std::string &) {
         m.setFraTar([](TarBuilder &t) {
             t.file("FRA/x.dat", "tar's");
             t.header(TarHeader::regular("x.dat", 5).prefix("FRA").bytes(257, std::string(8, '\0')))
                 .data("v7's!");
         });
         return true;
     },
     "TAR_CONTENT_MISMATCH", k_fra, 1, -1},
    {"PrefixFieldOfAV7HeaderRenames",
     [](Medium &m, const std::string &) {
         m.setFraTar([](TarBuilder &t) {
             t.header(TarHeader::regular("y.dat", 2).prefix("FRA").bytes(257, std::string(8, '\0')))
                 .data("v7");
         });
         return true;
     },
     "TAR_NAME_CHANGED", k_fra, 1, -1},
    // Octal digits after a space: tar stops at the space (4 bytes), the
    // unit reads on (octal 4000: four blocks), takes the next entry for data
    // and misses it.
    {"SizeFieldWithDigitsAfterASpace",
     [](Medium &m, const std::string &) {
         m.setFraTar([](TarBuilder &t) {
             t.header(TarHeader::regular("FRA/odd.dat", 4).sizeField("4 000"))
                 .data("oddd")
                 .file("FRA/next.dat", "next");
         });
         return true;
     },
     "TAR_MISSING_FILE", k_fra, 1, -1},
    {"SizeFieldWithDigitsAfterASpaceIsAnotherSize",
     [](Medium &m, const std::string &) {
         m.setFraTar([](TarBuilder &t) {
             t.header(TarHeader::regular("FRA/odd.dat", 1).sizeField("00001 4")).data("o");
         });
         return true;
     },
     "TAR_SIZE_MISMATCH", k_fra, 1, -1},
    // A header the unit never reads as one: it takes it for the data of the
    // entry before it (its size field read as 4 blocks): the finding says so.
    {"NameOf100CharactersReadAsData",
     [](Medium &m, const std::string &) {
         m.setFraTar([](TarBuilder &t) {
             t.header(TarHeader::regular("FRA/odd.dat", 4).sizeField("4 000"))
                 .data("oddd")
                 .file(hundred(), "hundred");
         });
         return true;
     },
     "TAR_NAME_100", k_fra, 1, -1, false, -1,
     "the unit would refuse the header, but reads the block as data of entry 'FRA/odd.dat'"},
    // A GNU dumpdir entry outside an incremental archive: tar makes a
    // folder, the unit a file of its name.
    {"GnuDumpdirEntry",
     [](Medium &m, const std::string &) {
         m.setFraTar([](TarBuilder &t) {
             t.header(TarHeader::regular("FRA/dump", 4).typeflag('D')).data("Yab");
         });
         return true;
     },
     "TAR_STRAY_FILE", k_fra, 1, -1},
    // A base-256 size (GNU tar's form for huge files): the unit refuses it.
    {"Base256Size",
     [](Medium &m, const std::string &) {
         std::string field(12, '\0');
         field[0] = static_cast<char>(0x80);
         field[10] = 0x02; // 512
         m.setFraTar([&](TarBuilder &t) {
             t.header(TarHeader::regular("FRA/payload.dat", 512).sizeField(field))
                 .data(std::string(512, 'p'));
         });
         return true;
     },
     "TAR_EXTRACT_FAILED", k_fra, 1, -1},
    // The unit writes the extension block as the file's data and takes the
    // data for a header: that names the sparse entry, not a header of 100
    // characters.
    {"SparseMapExtensionBlock",
     [](Medium &m, const std::string &) {
         m.setArchive("FRA", gzip(fraThen(oldGnuSparseWithExtension() + std::string(1024, '\0'))));
         return true;
     },
     "TAR_SPARSE", k_fra, 1, -1, false, -1, "that block is data of entry 'FRA/sp.dat'"},
    // What the unit does differently from tar, told as the unit does it.
    {"HardLinkToARegularFile",
     [](Medium &m, const std::string &) {
         m.setFraTar([](TarBuilder &t) { t.hardlink("FRA/copy.dat", "FRA/map.dat"); });
         return true;
     },
     "TAR_HARD_LINK", k_fra, 1, -1, true},
    {"HardLinkToNothingTarWrote",
     [](Medium &m, const std::string &) {
         m.setFraTar([](TarBuilder &t) { t.hardlink("FRA/copy.dat", "FRA/absent.dat"); });
         return true;
     },
     "TAR_LINK_IGNORED", k_fra, 0, -1, true},
    {"AbsoluteName",
     [](Medium &m, const std::string &) {
         m.setFraTar([](TarBuilder &t) { t.file("/FRA/abs.dat", "abs"); });
         return true;
     },
     "TAR_ABSOLUTE_PATH", k_fra, 0, -1, true, -1, "as '/SDH/MAPPE/FRA/abs.dat'"},
    {"AbsoluteNameClimbingOut",
     [](Medium &m, const std::string &) {
         m.setFraTar([](TarBuilder &t) { t.file("/../FRA/abs.dat", "abs"); });
         return true;
     },
     "TAR_UNSAFE_PATH", k_fra, 1, -1},
    // The unit skips the folder's "data": the next header, which tar reads.
    {"FolderWithASizeField",
     [](Medium &m, const std::string &) {
         m.setFraTar([](TarBuilder &t) {
             t.header(TarHeader::directory("FRA/sub/").size(512)).file("FRA/sub/a.dat", "a");
         });
         return true;
     },
     "TAR_FOLDER_SIZE", k_fra, 1, -1, false, -1, "where tar reads the header(s) of 'FRA/sub/a.dat'"},
    // Its data, padding from an earlier writer: nothing is lost.
    {"FolderWithASizeFieldAndItsData",
     [](Medium &m, const std::string &) {
         m.setFraTar([](TarBuilder &t) {
             t.header(TarHeader::directory("FRA/sub/").size(0)).file("FRA/sub/a.dat", "a");
         });
         return true;
     },
     nullptr, nullptr, 0, -1},
    {"GzipMemberEndsWhereTheReaderBufferFills",
     [](Medium &m, const std::string &) {
         TarBuilder big;
         big.file("FRA/big.dat", sampleContent(300000, 5));
         const std::string tar = fraThen("") + big.finish();
         // The reference pass reads 256 KiB of inflated data at a time.
         const size_t at = 256 * 1024;
         m.setArchive("FRA", gzip(tar.substr(0, at)) + gzip(tar.substr(at)));
         return true;
     },
     nullptr, nullptr, 0, -1, false, -1},
};

class MediaCheckFault : public MediaCheck, public ::testing::WithParamInterface<Fault> {};

TEST_P(MediaCheckFault, IsFoundWithItsCodeAndPath) {
    const Fault &f = GetParam();
    Medium m(mediaDir());
    m.build();
    const std::string work = root() + "/work";
    fs::create_directories(work);
    if (!f.make(m, work))
        GTEST_SKIP() << "the tool that writes this archive is missing";
    removeTree(work);
    if (f.capacity >= 0)
        hostsim::setDeviceCapacity("/SDH", f.capacity);
    mediacheck::CheckReport r;
    const int rc = check(r, f.capacity, f.table);
    const std::string text = mediacheck::renderText(r);
    EXPECT_EQ(rc, f.rc) << text;
    if (f.says != nullptr) {
        EXPECT_NE(mediacheck::renderJson(r).find(f.says), std::string::npos)
            << mediacheck::renderJson(r);
    }
    if (f.code == nullptr)
        EXPECT_TRUE(r.findings.empty()) << text;
    else if (f.path == nullptr)
        EXPECT_TRUE(hasCode(r, f.code)) << text;
    else
        EXPECT_TRUE(hasFinding(r, f.code, f.path)) << text;
    // No finding is left without a code, a path or a message, none speaks of
    // the reader's internals, and each is told once, with a section of the
    // medium's document that exists.
    static const std::string doc = readFile(std::string(UPG_SOURCE_DIR) + "/docs/medium.md");
    for (const auto &x : r.findings) {
        EXPECT_FALSE(x.code.empty() || x.message.empty()) << text;
        EXPECT_EQ(x.message.find("INTERNAL"), std::string::npos) << text;
        EXPECT_TRUE(!f.only || x.code == f.code) << text;
        const mediacheck::CodeInfo *row = mediacheck::findCode(x.code);
        ASSERT_NE(row, nullptr) << x.code;
        const char *section = mediacheck::docSection(x.code);
        if (row->section == nullptr)
            continue;
        ASSERT_NE(section, nullptr) << x.code;
        EXPECT_NE(doc.find("# " + std::string(section) + "\n"), std::string::npos) << section;
    }
    // The text fits 80 columns but for a word longer than a line (the
    // medium's own path).
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        const size_t word = line.find_first_not_of(' ');
        EXPECT_TRUE(line.size() <= 80 || line.compare(0, 7, "Medium:") == 0 ||
                    line.find(' ', word) == std::string::npos)
            << line;
    }
}

INSTANTIATE_TEST_SUITE_P(Faults, MediaCheckFault, ::testing::ValuesIn(k_faults),
                         [](const ::testing::TestParamInfo<Fault> &i) { return i.param.name; });

// Row by row, every code of the table of findings is made by a case of the
// fault table above (which asserts that the check produces it) or of the
// script-run tests.
TEST(FindingsTable, EveryCodeIsProducedByACase) {
    size_t count = 0;
    const mediacheck::CodeInfo *codes = mediacheck::findingCodes(count);
    const std::vector<std::string> runCodes = codesTheRunTestsMake();
    for (size_t i = 0; i < count; ++i) {
        const bool produced =
            std::any_of(std::begin(k_faults), std::end(k_faults),
                        [&](const Fault &f) {
                            return f.code != nullptr && std::string(f.code) == codes[i].name;
                        }) ||
            std::find(runCodes.begin(), runCodes.end(), codes[i].name) != runCodes.end();
        EXPECT_TRUE(produced) << codes[i].name << " is made by no case of the fault table";
    }
    // And no case expects a code the table does not hold.
    for (const Fault &f : k_faults)
        EXPECT_TRUE(f.code == nullptr || mediacheck::findCode(f.code) != nullptr) << f.name;
}

// One finding per code and file: its count, the entries or block sizes it
// covers, the shared text once, each message kept (text and JSON).
TEST_F(MediaCheck, FindingsOfOneCodeInOneFileAreOne) {
    Medium m(mediaDir());
    m.build();
    m.setFraTar([](TarBuilder &t) {
        t.symlink("FRA/l1", "map.dat").symlink("FRA/l2", "map.dat").symlink("FRA/l3", "map.dat");
        t.hardlink("FRA/h1.dat", "FRA/map.dat").file("FRA/b.dat", "b");
        t.hardlink("FRA/h2.dat", "FRA/b.dat");
    });
    hostsim::setDeviceCapacity("/SDH", 4000);
    mediacheck::CheckReport r;
    EXPECT_EQ(check(r, 4000), 1);
    const std::string text = mediacheck::renderText(r);
    std::map<std::string, const mediacheck::Finding *> byCode;
    for (const auto &f : r.findings) {
        EXPECT_TRUE(byCode.emplace(f.code + " " + f.path, &f).second) << f.code << " twice\n"
                                                                      << text;
    }
    const mediacheck::Finding *links = byCode["TAR_LINK_IGNORED " + std::string(k_fra)];
    ASSERT_NE(links, nullptr) << text;
    EXPECT_EQ(links->count, 3);
    EXPECT_EQ(links->covers, (std::vector<std::string>{"FRA/l1", "FRA/l2", "FRA/l3"}));
    EXPECT_EQ(links->message, "3 entries 'FRA/l1', 'FRA/l2', 'FRA/l3': symbolic link: the unit "
                              "ignores it and writes nothing");
    ASSERT_EQ(links->messages.size(), 3u);
    EXPECT_EQ(links->messages[1], "entry 'FRA/l2': symbolic link: the unit ignores it and writes "
                                  "nothing");
    // Other texts for each: the first, and what the others are about.
    const mediacheck::Finding *hard = byCode["TAR_HARD_LINK " + std::string(k_fra)];
    ASSERT_NE(hard, nullptr) << text;
    EXPECT_EQ(hard->count, 2);
    EXPECT_EQ(hard->message.rfind(hard->messages[0], 0), 0u) << hard->message;
    EXPECT_NE(hard->message.find("1 more of TAR_HARD_LINK in this file, about 'FRA/h1.dat', "
                                 "'FRA/h2.dat'"),
              std::string::npos)
        << hard->message;
    const mediacheck::Finding *space = byCode["SPACE_SHORT (SD card)"];
    ASSERT_NE(space, nullptr) << text;
    EXPECT_EQ(space->count, 5);
    EXPECT_EQ(space->covers, (std::vector<std::string>{"512", "4096", "8192", "16384", "32768"}));
    EXPECT_NE(space->message.find("on cards of 512-, 4096-, 8192-, 16384- and 32768-byte blocks"),
              std::string::npos)
        << space->message;
    EXPECT_NE(text.find("TAR_LINK_IGNORED (3x): 3 entries"), std::string::npos) << text;

    const nlohmann::json j = nlohmann::json::parse(mediacheck::renderJson(r));
    bool seen = false;
    for (const auto &f : j["findings"]) {
        ASSERT_TRUE(f.contains("count") && f.contains("covers") && f.contains("messages"))
            << f.dump();
        EXPECT_GE(f["messages"].size(), 1u) << f.dump();
        EXPECT_LE(f["messages"].size(), f["count"].get<size_t>()) << f.dump();
        if (f["code"] == "TAR_LINK_IGNORED") {
            seen = true;
            EXPECT_EQ(f["count"], 3);
            EXPECT_EQ(f["covers_kind"], "entries");
            EXPECT_EQ(f["covers"][2], "FRA/l3");
        }
    }
    EXPECT_TRUE(seen) << j.dump(1);
    EXPECT_EQ(j["errors"], r.errors());
}

// Grouping keeps apart what differs by file, code or severity, and keeps the
// order: by path, errors first, then code.
TEST(GroupFindings, KeepsFilesCodesAndSeveritiesApart) {
    std::vector<mediacheck::Finding> f;
    using mediacheck::Code;
    mediacheck::add(f, Code::TarPaxHeader, "b.tgz", mediacheck::entrySubject("x") + "pax");
    mediacheck::add(f, Code::TarPaxHeader, "a.tgz", mediacheck::entrySubject("y") + "pax");
    mediacheck::add(f, Code::TarCaseClash, "a.tgz", mediacheck::entrySubject("z") + "case");
    mediacheck::add(f, Code::PoiInfBad, mediacheck::Severity::Warning, "p.inf", "no VERSION line");
    mediacheck::add(f, Code::PoiInfBad, mediacheck::Severity::Error, "p.inf", "empty");
    mediacheck::add(f, Code::TarPaxHeader, "a.tgz", mediacheck::entrySubject("y") + "pax");
    mediacheck::groupFindings(f);
    ASSERT_EQ(f.size(), 5u);
    EXPECT_EQ(f[0].code + f[0].path, "TAR_PAX_HEADERa.tgz");
    EXPECT_EQ(f[0].count, 2); // the same entry twice: one subject
    EXPECT_EQ(f[0].covers, std::vector<std::string>{"y"});
    EXPECT_EQ(f[0].message, "1 entry 'y': pax");
    EXPECT_EQ(f[1].code, "TAR_CASE_CLASH");
    EXPECT_EQ(f[1].count, 1);
    EXPECT_EQ(f[1].message, "entry 'z': case");
    EXPECT_EQ(f[1].covers, std::vector<std::string>{"z"});
    EXPECT_TRUE(f[3].covers.empty()); // about the file as a whole
    EXPECT_EQ(f[2].path, "b.tgz");
    EXPECT_EQ(f[3].severity, mediacheck::Severity::Error);
    EXPECT_EQ(f[4].severity, mediacheck::Severity::Warning);
    EXPECT_EQ(f[4].count, 1);
}

// Each size the module's analysis slows with the square of is refused one
// past its limit, and only there; lines count as the module reads them.
// Small limits here (the real ones in the fault table).
TEST_F(MediaCheck, EachSizeIsRefusedPastItsLimitOnly) {
    // The medium holds: the main descriptor 4 lines, each country's 3, two
    // country folders, a current-version file of 2 lines.
    mediacheck::MediumLimits limits;
    limits.mainDescriptorLines = 6;
    limits.countryDescriptorLines = 4;
    limits.countryFolders = 3;
    limits.currentVersionLines = 4;
    const std::string icons = descriLine("ICON_BRANDS", "ICONS\\BRANDS.BIN");
    const std::string cdInf = descriLine("EXTRA", "MAPPE\\ITA\\CD_VER.NAV.INF");
    struct Case {
        const char *name;
        std::function<void(Medium &)> grow;
        const char *refusedAt; // nullptr: accepted
    } const cases[] = {
        {"main descriptor at its limit", [&](Medium &m) { m.append("DESCRI.DAT", icons + icons); },
         nullptr},
        {"main descriptor past it",
         [&](Medium &m) { m.append("DESCRI.DAT", icons + icons + icons); }, "DESCRI.DAT"},
        // 500 characters and CR LF: three of the module's lines.
        {"a long line counts once per 249 characters",
         [&](Medium &m) { m.append("DESCRI.DAT", std::string(500, 'x') + "\r\n"); }, "DESCRI.DAT"},
        {"a country's descriptor past it",
         [&](Medium &m) { m.append("MAPPE/ITA/DESCRI.DAT", cdInf + cdInf); },
         "MAPPE/ITA/DESCRI.DAT"},
        {"country folders at their limit",
         [](Medium &m) { ASSERT_TRUE(fs::create_directories(m.root() + "/MAPPE/X1")); }, nullptr},
        {"country folders past it",
         [](Medium &m) {
             ASSERT_TRUE(fs::create_directories(m.root() + "/MAPPE/X1"));
             ASSERT_TRUE(fs::create_directories(m.root() + "/MAPPE/X2"));
             ASSERT_TRUE(writeFile(m.root() + "/MAPPE/a-file", "not a folder"));
         },
         "MAPPE"},
        {"the current-version file past it",
         [](Medium &m) { m.append("MAPS/CURR_VERS_NAVI.TXT", "REMARK\r\nREMARK\r\nREMARK\r\n"); },
         "MAPS/CURR_VERS_NAVI.TXT"},
        // The checker reads a descriptor spelled otherwise, to report it.
        {"a descriptor spelled otherwise counts",
         [&](Medium &m) {
             m.append("MAPPE/ITA/DESCRI.DAT", cdInf + cdInf);
             fs::rename(m.root() + "/MAPPE/ITA/DESCRI.DAT", m.root() + "/MAPPE/ITA/Descri.dat");
         },
         "MAPPE/ITA/Descri.dat"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Medium m(mediaDir());
        m.build();
        c.grow(m);
        mediacheck::CheckOptions o;
        o.mediaDir = mediaDir();
        o.sdDir = sdDir();
        o.scratchParent = root();
        o.limits = limits;
        mediacheck::CheckReport r;
        const int rc = mediacheck::runMediaCheck(o, r);
        const std::string text = mediacheck::renderText(r);
        if (c.refusedAt == nullptr) {
            for (const auto &f : r.findings)
                EXPECT_NE(f.code, "MEDIUM_TOO_LARGE") << text;
            EXPECT_FALSE(r.countries.empty()) << text;
            continue;
        }
        // Refused with the one finding, before the module's analysis ran.
        EXPECT_EQ(rc, 1) << text;
        ASSERT_EQ(r.findings.size(), 1u) << text;
        EXPECT_EQ(r.findings[0].code, "MEDIUM_TOO_LARGE");
        EXPECT_EQ(r.findings[0].path, c.refusedAt) << text;
        EXPECT_TRUE(r.countries.empty()) << text;
        EXPECT_EQ(r.archivesRead, 0);
    }
}

// The extraction is bounded before it starts: files that the scratch card
// has no room for are the host's fault (3, nothing said against the
// medium), and a bomb past the card given is the medium's, read only as far
// as the card however small the scratch card.
TEST_F(MediaCheck, TheScratchExtractionIsBoundedBeforeItStarts) {
    Medium m(mediaDir());
    m.build();
    m.setFraTar([](TarBuilder &t) { t.file("FRA/big.dat", std::string(2 << 20, 'z')); });
    mediacheck::CheckOptions o;
    o.mediaDir = mediaDir();
    o.sdDir = sdDir();
    o.scratchParent = root();
    o.scratchFree = (8 << 20) + (1 << 20); // under a megabyte of room past the margin
    mediacheck::CheckReport r;
    EXPECT_EQ(mediacheck::runMediaCheck(o, r), 3) << mediacheck::renderText(r);
    for (const char *said : {"too little room", "TMPDIR", "MAPPE/FRA/FRA.tgz", "bytes free"})
        EXPECT_NE(r.hostError.find(said), std::string::npos) << said << ": " << r.hostError;
    EXPECT_NE(r.hostError.find(root()), std::string::npos) << r.hostError;
    for (const auto &f : r.findings)
        ADD_FAILURE() << "a finding against the medium: " << f.code << " " << f.message;
    o.scratchFree = 64 << 20;
    EXPECT_EQ(mediacheck::runMediaCheck(o, r), 0) << mediacheck::renderText(r);

    // 24 MiB of zeros, then a damaged gzip member that a whole reading finds.
    TarBuilder bomb;
    bomb.dir("FRA/");
    for (int i = 0; i < 24; ++i)
        bomb.file("FRA/z" + std::to_string(i) + ".dat", std::string(1 << 20, '\0'));
    std::string tail = gzip(TarBuilder().file("FRA/end.dat", "end").finish());
    tail[tail.size() - 6] ^= 0x55;
    m.setArchive("FRA", gzip(bomb.finish()) + tail);
    o.sdCapacity = 8 << 20;
    o.scratchFree = (8 << 20) + (1 << 20);
    EXPECT_EQ(mediacheck::runMediaCheck(o, r), 1) << mediacheck::renderText(r);
    EXPECT_TRUE(hasFinding(r, "TAR_TOO_LARGE", k_fra)) << mediacheck::renderText(r);
    EXPECT_FALSE(hasFinding(r, "GZ_CORRUPT", k_fra)) << "read whole: " << mediacheck::renderText(r);
    EXPECT_TRUE(r.hostError.empty()) << r.hostError;
}

// Names are bytes of the medium or the card: in the text reports a newline
// or a terminal escape in one is written escaped, so it starts no false
// line; in JSON a byte of no valid UTF-8 is U+FFFD, and the name's bytes
// are kept, escaped, in a field beside.
TEST_F(MediaCheck, NamesAreEscapedInTextAndKeptInJson) {
    Medium m(mediaDir());
    m.build();
    m.setFraTar(
        [](TarBuilder &t) { t.file("FRA/caf\xE9\n  error   FAKE: all is well\x1b[2J.dat", "x"); });
    ASSERT_EQ(mkfifo((mediaDir() + "/MAPPE/FRA/caf\xE9.tgz").c_str(), 0644), 0);
    mediacheck::CheckReport r;
    check(r);
    const nlohmann::json j = nlohmann::json::parse(mediacheck::renderJson(r));
    bool raw = false;
    for (const auto &f : j["findings"])
        if (f["code"] == "GZ_NOT_A_FILE") {
            EXPECT_EQ(f["path"], "MAPPE/FRA/caf\xEF\xBF\xBD.tgz");
            EXPECT_EQ(f["path_raw"], "MAPPE/FRA/caf\\xe9.tgz");
            raw = true;
        } else {
            EXPECT_FALSE(f.contains("path_raw")) << f.dump();
        }
    EXPECT_TRUE(raw) << j.dump(1);
    const std::string text = mediacheck::renderText(r);
    EXPECT_NE(text.find("entry 'FRA/caf\\xe9\\n error FAKE:"), std::string::npos) << text;
    EXPECT_EQ(text.find("\n  error   FAKE"), std::string::npos) << text;
    EXPECT_EQ(text.find('\x1b'), std::string::npos) << text;

    mediacheck::TreeSnapshot before, after;
    mediacheck::FileState three;
    three.size = 3;
    after["odd\nremoved  keep.txt"] = three;
    EXPECT_EQ(mediacheck::renderDiff(mediacheck::diffTrees(before, after)),
              "added    odd\\nremoved  keep.txt  (3 bytes)\n"
              "1 added, 0 changed, 0 removed; 3 bytes written\n");
    after.clear();
    after["caf\xE9.dat"] = three;
    const nlohmann::json diff = nlohmann::json::parse(
        mediacheck::renderDiffJson(mediacheck::diffTrees(before, after), "scratch", true, 0));
    EXPECT_EQ(diff["added"][0]["path"], "caf\xEF\xBF\xBD.dat");
    EXPECT_EQ(diff["added"][0]["path_raw"], "caf\\xe9.dat");
    EXPECT_EQ(diff["added"][0]["size"], 3);
}

TEST_F(MediaCheck, ScratchFolderNeverInsideTheMedium) {
    // Never inside the medium, where a left-over could be read as its data.
    Medium m(mediaDir());
    m.build();
    mediacheck::CheckOptions o;
    o.mediaDir = mediaDir();
    o.scratchParent = mediaDir();
    mediacheck::CheckReport r;
    EXPECT_EQ(mediacheck::runMediaCheck(o, r), 2);
}

TEST_F(MediaCheck, SnapshotsTellWhatAScriptChanged) {
    ASSERT_TRUE(writeFile(sdDir() + "/MAPPE/FRA/a.dat", "aaaa"));
    ASSERT_TRUE(writeFile(sdDir() + "/MAPPE/FRA/b.dat", "bbbb"));
    ASSERT_TRUE(writeFile(sdDir() + "/old.txt", "old"));
    mediacheck::TreeSnapshot before, after, copy;
    ASSERT_TRUE(mediacheck::snapshotTree(sdDir(), before));
    // A throwaway copy holds the same files; the card is left as it was.
    ASSERT_TRUE(mediacheck::copyTree(sdDir(), root() + "/scratch"));
    ASSERT_TRUE(mediacheck::snapshotTree(root() + "/scratch", copy));
    EXPECT_TRUE(mediacheck::diffTrees(before, copy).changes.empty());
    EXPECT_FALSE(mediacheck::copyTree(sdDir(), root() + "/scratch")); // never over a folder
    // A link could lead a script's writes from the copy to the real files.
    fs::create_symlink(sdDir() + "/old.txt", sdDir() + "/MAPPE/link");
    EXPECT_FALSE(mediacheck::copyTree(sdDir(), root() + "/scratch2"));
    EXPECT_FALSE(fs::exists(root() + "/scratch2"));
    fs::remove(sdDir() + "/MAPPE/link");
    ASSERT_TRUE(writeFile(sdDir() + "/MAPPE/FRA/b.dat", "BBBB")); // same size, new bytes
    ASSERT_TRUE(writeFile(sdDir() + "/MAPPE/ITA/c.dat", "ccccccc"));
    fs::remove(sdDir() + "/old.txt");
    ASSERT_TRUE(mediacheck::snapshotTree(sdDir(), after));
    mediacheck::TreeDiff d = mediacheck::diffTrees(before, after);
    EXPECT_EQ(mediacheck::renderDiff(d), "changed  MAPPE/FRA/b.dat  (4 -> 4 bytes)\n"
                                         "added    MAPPE/ITA/c.dat  (7 bytes)\n"
                                         "removed  old.txt  (3 bytes)\n"
                                         "1 added, 1 changed, 1 removed; 11 bytes written\n");
}

TEST_F(MediaCheck, CommandExitCodesAndJson) {
    Medium m(mediaDir());
    m.build();
    const std::string out = root() + "/out";
    fs::create_directories(out);
    const std::string media = "--media " + shellQuote(mediaDir()) + " --no-progress";
    EXPECT_EQ(runUpgsim(media + " check --json", out), 0) << readFile(out + "/stderr");
    nlohmann::json j = nlohmann::json::parse(readFile(out + "/stdout"));
    EXPECT_EQ(j["upgrade_type"], 1);
    EXPECT_EQ(j["errors"], 0);
    EXPECT_EQ(j["countries"][0]["cid"], "FRA");
    EXPECT_EQ(j["countries"][0]["offered"]["32768"], true);
    EXPECT_TRUE(j["findings"].empty());

    m.setArchive("FRA", cut(readFile(m.archive("FRA")), 100));
    EXPECT_EQ(runUpgsim(media + " --sd-capacity 1M check --block-sizes 4096", out), 1);
    const std::string text = readFile(out + "/stdout");
    EXPECT_NE(text.find("MAPPE/FRA/FRA.tgz\n  error   GZ_TRUNCATED"), std::string::npos) << text;
    EXPECT_NE(text.find("(medium.md: "), std::string::npos) << text;
    EXPECT_EQ(runUpgsim(media + " check --block-sizes 4096 --json", out), 1);
    j = nlohmann::json::parse(readFile(out + "/stdout"));
    ASSERT_FALSE(j["findings"].empty());
    EXPECT_EQ(j["findings"][0]["doc"], "The archive rules of the unit's extractor");
    EXPECT_EQ(runUpgsim(media + " check --block-sizes 4096,x", out), 2);
    EXPECT_EQ(runUpgsim("check", out), 2);

    // A scratch file system too small for an archive's files: the host's
    // fault, status 3 naming $TMPDIR (where a small tmpfs can be mounted).
    const std::string small = root() + "/small";
    fs::create_directories(small);
    if (mount("tmpfs", small.c_str(), "tmpfs", 0, "size=12m") != 0) {
        std::printf("no tmpfs can be mounted here: the library test plays the small one\n");
        return;
    }
    m.setFraTar([](TarBuilder &t) { t.file("FRA/big.dat", std::string(6 << 20, 'z')); });
    setenv("TMPDIR", small.c_str(), 1);
    const int rc = runUpgsim(media + " check --json", out);
    unsetenv("TMPDIR");
    umount(small.c_str());
    EXPECT_EQ(rc, 3) << readFile(out + "/stderr");
    j = nlohmann::json::parse(readFile(out + "/stdout"), nullptr, false);
    EXPECT_EQ(j["code"], 3) << j.dump();
    EXPECT_NE(readFile(out + "/stderr").find("$TMPDIR (" + small + ")"), std::string::npos)
        << readFile(out + "/stderr");
}

} // namespace
