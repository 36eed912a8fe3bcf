// Archives written by real tools (GNU tar in each of its formats, bsdtar,
// Python's tarfile, busybox where installed, pigz, bgzip, several gzip
// members): for each one the unit's extractor and GNU tar extract it, and
// the archive check must raise an error exactly when the regular files the
// unit writes differ from GNU tar's (or its extraction fails): no false
// alarm, and no miss. Tools that are missing are skipped.
#include "tests/support/archive_tools.h"
#include "tests/support/unit_fixture.h"
#include "tools/mediacheck/mediacheck.h"
#include "untgz/C_UNTGZ.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace testsupport;

namespace {

// The sources: a tree every format stores (short names, an empty file, a
// file of one block, a symbolic link, an empty folder, a deep path), one
// with a hard link, and one only some formats store (a long name, a name of
// exactly 100 characters, a path long enough for the prefix field, a sparse
// file).
const char k_make_sources[] = R"(
set -e
mkdir -p short/FRA/SUB/DEEP short/FRA/EMPTYDIR long/FRA
head -c 3000 /dev/urandom > short/FRA/ROADS.DAT
: > short/FRA/EMPTY.DAT
head -c 512 /dev/zero | tr '\0' 'b' > short/FRA/B512.DAT
echo deep > short/FRA/SUB/DEEP/X.DAT
ln -s ROADS.DAT short/FRA/LINK
mkdir -p links/FRA && cp short/FRA/ROADS.DAT links/FRA/ && ln links/FRA/ROADS.DAT links/FRA/HARD.DAT
L=$(printf 'l%.0s' $(seq 120)); echo long > "long/FRA/$L.DAT"
H=$(printf 'h%.0s' $(seq 92)); echo hundred > "long/FRA/$H.DAT"
P=$(printf 'p%.0s' $(seq 60)); mkdir -p "long/FRA/$P/$P"; echo prefix > "long/FRA/$P/$P/F.DAT"
truncate -s 1M long/FRA/SPARSE.DAT; echo end >> long/FRA/SPARSE.DAT
)";

struct Maker {
    const char *name;    // the archive's file name
    const char *tool;    // checked with `TOOL --version`
    const char *command; // run in the work folder; writes out/NAME
};

// $1 the archive. Each writes one archive of one source tree.
const Maker k_makers[] = {
    {"gnu.tgz", "tar", "tar -C short -czf \"$1\" --format=gnu FRA"},
    {"gnu-long.tgz", "tar", "tar -C long -S -czf \"$1\" --format=gnu FRA"},
    {"oldgnu.tgz", "tar", "tar -C short -czf \"$1\" --format=oldgnu FRA"},
    {"oldgnu-long.tgz", "tar", "tar -C long -S -czf \"$1\" --format=oldgnu FRA"},
    {"posix.tgz", "tar", "tar -C short -czf \"$1\" --format=posix FRA"},
    {"posix-long.tgz", "tar", "tar -C long -S -czf \"$1\" --format=posix FRA"},
    {"ustar.tgz", "tar", "tar -C short -czf \"$1\" --format=ustar FRA"},
    {"v7.tgz", "tar", "tar -C short -czf \"$1\" --format=v7 FRA"},
    {"gnu-links.tgz", "tar", "tar -C links -czf \"$1\" FRA"},
    {"gnu-hard-deref.tgz", "tar", "tar -C links -czf \"$1\" --hard-dereference FRA"},
    {"gnu-absolute.tgz", "tar",
     "tar -czf \"$1\" -P --format=ustar --transform 's,^.*short/,/,' \"$PWD/short/FRA/ROADS.DAT\""},
    {"bsdtar.tgz", "bsdtar", "bsdtar -C short -czf \"$1\" FRA"},
    {"bsdtar-links.tgz", "bsdtar", "bsdtar -C links -czf \"$1\" FRA"},
    {"bsdtar-long.tgz", "bsdtar", "bsdtar -C long -czf \"$1\" FRA"},
    {"bsdtar-ustar.tgz", "bsdtar", "bsdtar -C short -czf \"$1\" --format ustar FRA"},
    {"bsdtar-pax.tgz", "bsdtar", "bsdtar -C short -czf \"$1\" --format pax FRA"},
    {"bsdtar-v7.tgz", "bsdtar", "bsdtar -C short -czf \"$1\" --format v7tar FRA"},
    {"python.tgz", "python3",
     "python3 -c 'import sys,tarfile; t=tarfile.open(sys.argv[1],\"w:gz\"); "
     "t.add(\"short/FRA\",arcname=\"FRA\"); t.close()' \"$1\""},
    {"python-ustar.tgz", "python3",
     "python3 -c 'import sys,tarfile; "
     "t=tarfile.open(sys.argv[1],\"w:gz\",format=tarfile.USTAR_FORMAT); "
     "t.add(\"short/FRA\",arcname=\"FRA\"); t.close()' \"$1\""},
    {"python-links.tgz", "python3",
     "python3 -c 'import sys,tarfile; "
     "t=tarfile.open(sys.argv[1],\"w:gz\",format=tarfile.USTAR_FORMAT); "
     "t.add(\"links/FRA\",arcname=\"FRA\"); t.close()' \"$1\""},
    {"python-gnu-long.tgz", "python3",
     "python3 -c 'import sys,tarfile; "
     "t=tarfile.open(sys.argv[1],\"w:gz\",format=tarfile.GNU_FORMAT); "
     "t.add(\"long/FRA\",arcname=\"FRA\"); t.close()' \"$1\""},
    {"busybox.tgz", "busybox", "cd short && busybox tar -czf \"$1\" FRA"},
    {"pigz.tgz", "pigz", "tar -C short -cf - --format=ustar FRA | pigz -b 32 > \"$1\""},
    {"bgzip.tgz", "bgzip", "tar -C short -cf - --format=ustar FRA | bgzip -c > \"$1\""},
    {"members.tgz", "gzip",
     "tar -C short -cf members.tar --format=ustar FRA && "
     "(head -c 3333 members.tar | gzip; tail -c +3334 members.tar | gzip; gzip < /dev/null) "
     "> \"$1\""},
};

typedef std::map<std::string, std::string> Files; // relative path -> content

// The regular files under `dir` (symbolic links not followed).
Files regularFiles(const std::string &dir) {
    Files out;
    std::error_code ec;
    if (!fs::exists(dir, ec))
        return out;
    for (auto it = fs::recursive_directory_iterator(dir, ec); it != fs::end(it); it.increment(ec))
        if (!it->is_symlink(ec) && it->is_regular_file(ec))
            out[fs::relative(it->path(), dir, ec).string()] = readFile(it->path().string());
    return out;
}

std::string differences(const Files &unit, const Files &tar) {
    std::string out;
    for (const auto &t : tar) {
        auto u = unit.find(t.first);
        if (u == unit.end())
            out += "  missing on the unit: " + t.first + "\n";
        else if (u->second != t.second)
            out += "  other bytes on the unit: " + t.first + "\n";
    }
    for (const auto &u : unit)
        if (tar.count(u.first) == 0)
            out += "  only on the unit: " + u.first + "\n";
    return out;
}

class ToolCorpus : public UnitFixture {
protected:
    void SetUp() override {
        UnitFixture::SetUp();
        hostsim::setTickRate(6000);
    }
};

TEST_F(ToolCorpus, ErrorExactlyWhereTheUnitsFilesDifferFromGnuTars) {
    if (!haveTool("tar"))
        GTEST_SKIP() << "GNU tar is missing";
    const std::string work = root() + "/work";
    const std::string out = mediaDir();
    fs::create_directories(work);
    fs::create_directories(out);
    ASSERT_TRUE(writeFile(work + "/sources.sh", k_make_sources));
    ASSERT_EQ(std::system(("cd " + shellQuote(work) + " && sh sources.sh").c_str()), 0);

    int checked = 0, alarms = 0;
    std::vector<std::string> skipped;
    for (const Maker &m : k_makers) {
        const std::string archive = out + "/" + m.name;
        if (!haveTool(m.tool)) {
            skipped.push_back(m.name);
            continue;
        }
        ASSERT_TRUE(writeFile(work + "/make.sh", m.command));
        const int made = std::system(
            ("cd " + shellQuote(work) + " && sh make.sh " + shellQuote(archive) + " 2>/dev/null")
                .c_str());
        ASSERT_EQ(made, 0) << m.name << ": " << m.command;

        // GNU tar's reading: the regular files it writes.
        const std::string gnu = root() + "/gnu";
        removeTree(gnu);
        fs::create_directories(gnu);
        std::system(("tar -xzf " + shellQuote(archive) + " -C " + shellQuote(gnu) + " 2>/dev/null")
                        .c_str());
        const Files tarFiles = regularFiles(gnu);
        ASSERT_FALSE(tarFiles.empty()) << m.name;

        // The unit's extraction into a card of its own.
        const std::string card = root() + "/card";
        removeTree(card);
        fs::create_directories(card + "/MAPPE");
        hostsim::mountDevice("/SDH", card);
        C_UNTGZ *untgz = C_UNTGZ::GetInstance();
        ASSERT_NE(untgz, nullptr);
        const int rc = untgz->Untar(("/DVD/" + std::string(m.name)).c_str(), "/SDH/MAPPE/", 1, 1);
        hostsim::unmountDevice("/SDH");
        const Files unitFiles = regularFiles(card + "/MAPPE");
        const std::string diff = differences(unitFiles, tarFiles);
        const bool differs = rc != 0 || !diff.empty();

        // The check's verdict.
        const std::string scratch = root() + "/scratch";
        fs::create_directories(scratch);
        std::vector<mediacheck::Finding> findings;
        mediacheck::ArchiveSummary summary;
        mediacheck::checkArchive(m.name, archive, scratch, {4096}, mediacheck::ArchiveLimits(),
                                 findings, summary, nullptr);
        removeTree(scratch);
        std::string said;
        bool error = false;
        for (const auto &f : findings) {
            error = error || f.severity == mediacheck::Severity::Error;
            said += "  " + f.code + ": " + f.message + "\n";
        }
        EXPECT_EQ(error, differs) << m.name << (differs ? ": a miss" : ": a false alarm")
                                  << "\nthe unit's extraction returned " << rc << "\n"
                                  << diff << "findings:\n"
                                  << said;
        ++checked;
        alarms += error ? 1 : 0;
    }
    // The corpus holds both kinds: archives the unit extracts as tar does,
    // and archives it does not.
    EXPECT_GT(checked, 10);
    EXPECT_GT(alarms, 0);
    EXPECT_LT(alarms, checked);
    std::cout << "[ corpus   ] " << checked << " archives: " << alarms << " with errors, "
              << checked - alarms << " clean\n";
    if (!skipped.empty()) {
        std::string names;
        for (const std::string &s : skipped)
            names += " " + s;
        std::cout << "[ corpus   ] skipped (tool missing):" << names << "\n";
    }
}

} // namespace
