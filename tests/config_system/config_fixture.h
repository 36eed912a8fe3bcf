// Fixture of the configuration tests: the unit fixture plus helpers that write
// stamped configuration files into "/F/Data_Base/CONFIGSYSTEM" and read a
// configuration array back as "module=data" texts.
#ifndef TESTS_CONFIG_SYSTEM_CONFIG_FIXTURE_H
#define TESTS_CONFIG_SYSTEM_CONFIG_FIXTURE_H

#include "config_system/ConfigSystem.h"
#include "tests/support/unit_fixture.h"
#include "unit/boot_db.h"
#include "unit/integrity.h"

#include <string>
#include <vector>

namespace configtest {

// The pairs of an array, head first, as "module=data".
inline std::vector<std::string> pairs(ConfigElement *p_head) {
    std::vector<std::string> out;
    for (ConfigElement *node = p_head; node != nullptr; node = node->next)
        out.push_back(std::string(node->module) + "=" + node->data);
    return out;
}

class ConfigFixture : public testsupport::UnitFixture {
protected:
    void SetUp() override {
        testsupport::UnitFixture::SetUp();
        ClearConfigSystem();
        hostsim::clearCapturedLog();
    }
    void TearDown() override {
        ClearConfigSystem();
        testsupport::UnitFixture::TearDown();
    }

    static std::string unitPath(const std::string &name) {
        return std::string(CONFIG_SYSTEM_DIR) + "/" + name;
    }

    // Writes a configuration file and stamps it with `fileVersion`.
    void putFile(const std::string &name, const std::string &content,
                 const std::string &fileVersion = "1.0") {
        ASSERT_TRUE(testsupport::writeFile(host(unitPath(name)), content));
        std::string error;
        ASSERT_TRUE(unit::writeFileStamp(unitPath(name), fileVersion, &error)) << error;
    }

    // Writes the three files of one configuration ("SW" or "HW").
    void putConfig(const std::string &kind, const std::string &versions, const std::string &modules,
                   const std::string &data, const std::string &fileVersion = "1.0") {
        putFile("Config_" + kind + "_Version.cfg", versions, fileVersion);
        putFile("Config_" + kind + "_Module.cfg", modules, fileVersion);
        putFile("Config_" + kind + "_Data.cfg", data, fileVersion);
    }

    // A complete, sound set: software versions A and B (the unit runs B),
    // hardware releases 1 and 2 (the unit has 2), and the flag file.
    void putStandardSet() {
        unit::setBootConfigVersion("B");
        unit::setHardRelease(2);
        putConfig("SW", "A\nB\n", "m1\nm2\n", "a1\na2\nb1\nb2\n");
        putConfig("HW", "1\n2\n", "gps\n", "gps-v1\ngps-v2\n");
        putFile("ConfigFlag.cfg", "flag\n");
    }
};

} // namespace configtest

#endif
