// The tools' reading of the module's failures, over the module's real lines:
// each case plays the module into one failure the commands explain (an
// extraction, a copy, a POI installation, the configuration service) and
// checks what upgsim's explanation and the medium check's extractor reason
// make of the lines it logged. A reworded module line fails here, not in a
// verdict.
#include "tools/mediacheck/extractor_reason.h"
#include "tools/upgsim/upgsim.h"
#include "tools/upgsim/why.h"

#include "builtins/C_BUILTINS.h"
#include "config_system/ConfigSystem.h"
#include "platform/plat_io.h"
#include "tests/config_system/config_fixture.h"
#include "tests/support/tar_builder.h"
#include "unit/boot_db.h"
#include "untgz/C_UNTGZ.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <string>

namespace {

using testsupport::gzip;
using testsupport::TarBuilder;
using testsupport::TarHeader;
using upgsim::FailureKind;

class WhyTest : public configtest::ConfigFixture {
protected:
    void SetUp() override {
        ConfigFixture::SetUp();
        hostsim::setTickRate(6000); // the extractor's end pause passes at once
        ASSERT_NE(C_BUILTINS::Instance(), nullptr);
        ASSERT_NE(C_UNTGZ::GetInstance(), nullptr);
    }
    void TearDown() override {
        hostsim::clearFaults();
        hostsim::setDeviceCapacity("/SDH", -1);
        ConfigFixture::TearDown();
    }

public:
    // Puts `bytes` on the medium as `name` ("/DVD/<name>").
    void medium(const std::string &name, const std::string &bytes) {
        ASSERT_TRUE(testsupport::writeFile(mediaDir() + "/" + name, bytes));
    }
    // Extracts a medium's archive into the card's map folder, as the medium
    // check does; the extraction must fail.
    void untarFails(const std::string &name) {
        const std::string archive = "/DVD/" + name;
        EXPECT_NE(C_UNTGZ::GetInstance()->Untar(archive.c_str(), "/SDH/MAPPE/", 1, 1), OK);
    }
    void copyFails(const std::string &source, const std::string &dest) {
        val_t result;
        ASSERT_TRUE(
            hostsim::callBuiltin("UPGCopy",
                                 {hostsim::EicArg::Ptr(source.c_str()),
                                  hostsim::EicArg::Ptr(dest.c_str()), hostsim::EicArg::Int(0)},
                                 &result));
        EXPECT_EQ(result.ival, -1);
    }
    void configFails() { EXPECT_EQ(StartConfigSystem(), -1); }
    using ConfigFixture::putFile;
    using ConfigFixture::putStandardSet;
    using ConfigFixture::unitPath;
    std::string hostOf(const std::string &unitPath) const { return host(unitPath); }
};

struct Case {
    const char *name;
    std::function<void(WhyTest &)> play; // runs the module into the failure
    FailureKind kind;
    const char *path;
    const char *reason;              // upgsim's explanation
    const char *extractor = nullptr; // the medium check's reason (extractions)
};

// How a case shows in a failure: by its name (its raw bytes hold padding
// that was never written).
void PrintTo(const Case &c, std::ostream *os) {
    *os << c.name;
}

const std::string k_card_file = "/SDH/MAPPE/big.dat";

const Case k_cases[] = {
    // ---- Extractions ----
    {"ArchiveMissing", [](WhyTest &t) { t.untarFails("none.tgz"); }, FailureKind::ArchiveOpen,
     "/DVD/none.tgz", "/DVD/none.tgz: No such file or directory",
     "(DoUnArchive): gzopen (/DVD/none.tgz) : ERROR (errno = 0x2)"},
    {"NotATarFile",
     [](WhyTest &t) {
         t.medium("text.tgz", gzip(std::string(2048, 't')));
         t.untarFails("text.tgz");
     },
     FailureKind::ExtractRefused, "/DVD/text.tgz", "/DVD/text.tgz: not a valid tar file",
     "(UntarBlock): /DVD/text.tgz: not a valid tar file"},
    // A damaged header after a good entry: the checksum line, not the
    // warning about garbage that comes with it.
    {"BadChecksumAfterAFile",
     [](WhyTest &t) {
         TarBuilder tar;
         tar.file("good.dat", "g").header(TarHeader::regular("bad.dat", 1).checksumOffset(5));
         t.medium("sum.tgz", gzip(tar.data("b").finish()));
         t.untarFails("sum.tgz");
     },
     FailureKind::ExtractRefused, "/DVD/sum.tgz",
     "/DVD/sum.tgz: header has bad checksum for /SDH/MAPPE/bad.dat",
     "(UntarBlock): /DVD/sum.tgz: header has bad checksum for /SDH/MAPPE/bad.dat"},
    {"EntryLeavesTheFolder",
     [](WhyTest &t) {
         TarBuilder tar;
         t.medium("up.tgz", gzip(tar.file("../evil.txt", "e").finish()));
         t.untarFails("up.tgz");
     },
     FailureKind::ExtractRefused, "/DVD/up.tgz",
     "/DVD/up.tgz: path leaves the destination folder, entry refused: /SDH/MAPPE/../evil.txt",
     "(UntarBlock): /DVD/up.tgz: path leaves the destination folder, entry refused: "
     "/SDH/MAPPE/../evil.txt"},
    // A file of the card stands where the entry needs a folder.
    {"EntryCannotBeCreated",
     [](WhyTest &t) {
         ASSERT_TRUE(testsupport::writeFile(t.hostOf("/SDH/MAPPE/a"), "file"));
         TarBuilder tar;
         t.medium("sub.tgz", gzip(tar.file("a/b.dat", "b").finish()));
         t.untarFails("sub.tgz");
     },
     FailureKind::ExtractCreate, "/SDH/MAPPE/a/b.dat",
     "cannot create /SDH/MAPPE/a/b.dat: Not a directory",
     "(CreatePath): fopen (/SDH/MAPPE/a/b.dat) : ERROR (errno = 0x14)"},
    // The file's failure, not the writer task's report that follows it.
    {"CardFull",
     [](WhyTest &t) {
         TarBuilder tar;
         t.medium("big.tgz", gzip(tar.file("big.dat", std::string(20000, 'b')).finish()));
         hostsim::setDeviceCapacity("/SDH", 4000);
         t.untarFails("big.tgz");
     },
     FailureKind::ExtractRefused, k_card_file.c_str(),
     "/DVD/big.tgz: cannot write '/SDH/MAPPE/big.dat': No space left on device",
     "(UntarBlock): /DVD/big.tgz: cannot write '/SDH/MAPPE/big.dat': No space left on device"},
    {"StreamCutShort",
     [](WhyTest &t) {
         TarBuilder tar;
         const std::string tgz =
             gzip(tar.file("a.dat", testsupport::sampleContent(9000, 3)).finish());
         t.medium("cut.tgz", testsupport::cut(tgz, tgz.size() / 2));
         t.untarFails("cut.tgz");
     },
     FailureKind::ArchiveRead, "", "the archive cannot be read: Input/output error",
     "(DoUnArchive): gzread2 error (errno = 0x5), l_size = -1"},
    {"FlushFails",
     [](WhyTest &t) {
         TarBuilder tar;
         t.medium("ok.tgz", gzip(tar.file("ok.dat", "ok").finish()));
         hostsim::injectFault(hostsim::FileOp::Sync, 1, EIO, true);
         t.untarFails("ok.tgz");
     },
     FailureKind::ExtractFlush, "/SDH", "cannot flush /SDH: Input/output error",
     "(Untar): /DVD/ok.tgz: cannot flush '/SDH' to the medium: Input/output error"},

    // ---- Copies ----
    {"CopySourceMissing", [](WhyTest &t) { t.copyFails("/DVD/none.bin", "/SDH/none.bin"); },
     FailureKind::CopyOpen, "/DVD/none.bin", "/DVD/none.bin: No such file or directory"},
    {"CopySourceIsAFolder",
     [](WhyTest &t) {
         std::filesystem::create_directories(t.hostOf("/DVD/folder"));
         t.copyFails("/DVD/folder", "/SDH/folder");
     },
     FailureKind::CopyNotRegular, "/DVD/folder", "/DVD/folder: not a readable regular file"},
    {"CopyPathTooLong", [](WhyTest &t) { t.copyFails("/DVD/" + std::string(800, 'p'), "/SDH/x"); },
     FailureKind::CopyPathTooLong, "", "a path is longer than 765 characters"},
    {"CopyCardFull",
     [](WhyTest &t) {
         t.medium("big.bin", std::string(20000, 'b'));
         hostsim::setDeviceCapacity("/SDH", 4000);
         t.copyFails("/DVD/big.bin", "/SDH/big.bin");
     },
     FailureKind::CopyIo, "/SDH/big.bin~upgcopy",
     "/SDH/big.bin~upgcopy: cannot write: No space left on device"},
    {"CopySyncFails",
     [](WhyTest &t) {
         t.medium("a.bin", "a");
         hostsim::injectFault(hostsim::FileOp::Sync, 1, EIO, true);
         t.copyFails("/DVD/a.bin", "/SDH/a.bin");
     },
     FailureKind::CopyIo, "/SDH/a.bin~upgcopy",
     "/SDH/a.bin~upgcopy: cannot sync: Input/output error"},
    {"CopyRenameFails",
     [](WhyTest &t) {
         t.medium("a.bin", "a");
         hostsim::injectFault(hostsim::FileOp::Rename, 1, EACCES, true);
         t.copyFails("/DVD/a.bin", "/SDH/a.bin");
     },
     FailureKind::CopyRename, "/SDH/a.bin~upgcopy",
     "cannot rename /SDH/a.bin~upgcopy to /SDH/a.bin: Permission denied"},

    // ---- POI installation ----
    {"PoiVersionFileMissing",
     [](WhyTest &t) {
         t.medium("POI.tgz", gzip(TarBuilder().finish()));
         val_t result;
         ASSERT_TRUE(hostsim::callBuiltin(
             "InstalPOIs", {hostsim::EicArg::Ptr("/DVD/POI.tgz"), hostsim::EicArg::Ptr("POI")},
             &result));
         EXPECT_EQ(result.ival, -1);
     },
     FailureKind::PoiVersionFile, "/DVD/POI.tgz.inf",
     "/DVD/POI.tgz.inf: No such file or directory"},

    // ---- Configuration service ----
    {"ConfigFileTampered",
     [](WhyTest &t) {
         t.putStandardSet();
         ASSERT_TRUE(testsupport::writeFile(t.hostOf(t.unitPath("Config_SW_Module.cfg")), "x\n"));
         t.configFails();
     },
     FailureKind::ConfigCrc, "/F/Data_Base/CONFIGSYSTEM/Config_SW_Module.cfg",
     "/F/Data_Base/CONFIGSYSTEM/Config_SW_Module.cfg: integrity check failed (its .ver does "
     "not match: upgsim stamp)"},
    {"ConfigFlagTampered",
     [](WhyTest &t) {
         t.putStandardSet();
         ASSERT_TRUE(testsupport::writeFile(t.hostOf(t.unitPath("ConfigFlag.cfg")), "x\n"));
         t.configFails();
     },
     FailureKind::ConfigCrc, "/F/Data_Base/CONFIGSYSTEM/ConfigFlag.cfg",
     "/F/Data_Base/CONFIGSYSTEM/ConfigFlag.cfg: integrity check failed (its .ver does not "
     "match: upgsim stamp)"},
    {"ConfigFileMissing",
     [](WhyTest &t) {
         t.putStandardSet();
         std::filesystem::remove(t.hostOf(t.unitPath("Config_HW_Data.cfg")));
         t.configFails();
     },
     FailureKind::ConfigCrc, "/F/Data_Base/CONFIGSYSTEM/Config_HW_Data.cfg",
     "/F/Data_Base/CONFIGSYSTEM/Config_HW_Data.cfg: No such file or directory"},
    {"ConfigFilesOfTwoVersions",
     [](WhyTest &t) {
         t.putStandardSet();
         t.putFile("Config_SW_Data.cfg", "x\n", "1.1");
         t.configFails();
     },
     FailureKind::ConfigVersions, "", "the configuration files carry different versions"},
    {"BootVersionUnreadable",
     [](WhyTest &t) {
         t.putStandardSet();
         unit::setBootConfigVersionFails(true);
         t.configFails();
     },
     FailureKind::ConfigBootVersion, "",
     "the boot database's configuration version cannot be read"},
};

class WhyReading : public WhyTest, public ::testing::WithParamInterface<Case> {};

TEST_P(WhyReading, ReachesTheExpectedExplanation) {
    const Case &c = GetParam();
    hostsim::clearCapturedLog();
    c.play(*this);
    hostsim::clearFaults();
    const std::vector<hostsim::LogLine> lines = hostsim::capturedLog();
    const upgsim::ModuleFailure f = upgsim::readModuleFailure(lines);
    EXPECT_EQ(f.kind, c.kind) << log();
    EXPECT_EQ(f.path, c.path) << log();
    EXPECT_EQ(f.reason, c.reason) << log();
    EXPECT_EQ(upgsim::moduleReason(), c.reason);
    if (c.extractor != nullptr) {
        EXPECT_EQ(mediacheck::extractorReason(lines), c.extractor) << log();
    }
}

INSTANTIATE_TEST_SUITE_P(Module, WhyReading, ::testing::ValuesIn(k_cases),
                         [](const auto &info) { return std::string(info.param.name); });

// Lines no rule knows: no explanation, and the medium check says where to
// look. A line is read by the format that wrote it, not by a word in it.
TEST_F(WhyTest, LinesNoRuleKnowsExplainNothing) {
    const std::vector<hostsim::LogLine> lines = {
        {hostsim::LogSource::LogMsg, "12 - (Untar): Begin Untar 'refused ERROR cannot'\n"},
        {hostsim::LogSource::Console, "(UntarBlock) x: not a valid tar file\n"},
        {hostsim::LogSource::LogMsg, "BuiltinsCopy: open of 'x' returned error errno = 0xZZ\n"},
    };
    EXPECT_EQ(upgsim::readModuleFailure(lines).kind, FailureKind::None);
    EXPECT_EQ(upgsim::readModuleFailure(lines).reason, "");
    EXPECT_EQ(mediacheck::extractorReason(lines), "see the module's log");
}

} // namespace
