// Fixture of the carto-tree tests: the unit's devices in a temporary folder,
// a fresh carto tree with "/DVD/" as the medium's root, and small helpers to
// write files on the medium and the SD card.
#ifndef TESTS_GATEWAYS_MAP_UPGRADE_PLUGIN_SRC_CARTOTREE_FIXTURE_H
#define TESTS_GATEWAYS_MAP_UPGRADE_PLUGIN_SRC_CARTOTREE_FIXTURE_H

#include "C_MAP_UPG_CARTOTREE.h"
#include "tests/support/media_builder.h"
#include "tests/support/unit_fixture.h"

#include <memory>
#include <string>

namespace cartotest {

class CartoTreeTest : public testsupport::UnitFixture {
protected:
    void SetUp() override {
        testsupport::UnitFixture::SetUp();
        m_tree.reset(new C_MAP_UPG_CARTOTREE(0));
        m_tree->SetMediaCartoDrive(CKWString("/DVD/"));
        m_tree->SetProductCartoPath(CKWString("/SDH/"));
    }
    void TearDown() override {
        m_tree.reset();
        testsupport::UnitFixture::TearDown();
    }

    C_MAP_UPG_CARTOTREE &tree() { return *m_tree; }
    // Writes a file on the medium / the SD card (path relative to its root).
    void media(const std::string &rel, const std::string &content) {
        ASSERT_TRUE(testsupport::writeFile(mediaDir() + "/" + rel, content));
    }
    void sd(const std::string &rel, const std::string &content) {
        ASSERT_TRUE(testsupport::writeFile(sdDir() + "/" + rel, content));
    }
    // Plays an SD card of the given block size.
    void sdBlockSize(long size) { hostsim::mountDevice("/SDH", sdDir(), size); }
    std::string sysToolLog() const { return hostsim::capturedText(hostsim::LogSource::SysTool); }
    static bool contains(const std::string &text, const std::string &part) {
        return text.find(part) != std::string::npos;
    }
    static size_t count(const std::string &text, const std::string &part) {
        size_t n = 0;
        for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
            ++n;
        return n;
    }

private:
    std::unique_ptr<C_MAP_UPG_CARTOTREE> m_tree;
};

} // namespace cartotest

#endif
