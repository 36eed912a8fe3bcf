// Country-list builtin "Get_DVD_CIDInfoList": has the carto tree list the
// countries the medium offers and writes them into the script's country table
// (layout in builtins/upg_country_table.h).
#include "builtins/C_BUILTINS.h"

#include "builtins/upg_country_table.h"
#include "platform/plat_log.h"

#include "C_MAP_UPG_CARTOTREE.h"

#include <cstddef>
#include <cstring>

static_assert(sizeof(t_upg_country_record) == UPG_COUNTRY_RECORD_SIZE,
              "a country record has no padding");
static_assert(sizeof(t_upg_country_table) == UPG_COUNTRY_TABLE_SIZE,
              "the country table fills the script's table exactly");
static_assert(UPG_COUNTRY_TABLE_SIZE == COUNTRY_TABLE_SIZE, "one size for the script's table");
static_assert(UPG_COUNTRY_MAX >= 60, "the table holds at least 60 countries");
// The scripts compiled for the unit and for the host see the same layout:
// fixed offsets, whatever the size of long or of a pointer.
static_assert(offsetof(t_upg_country_table, count) == 0 &&
                  offsetof(t_upg_country_table, total) == 4 &&
                  offsetof(t_upg_country_table, records) == 8 &&
                  offsetof(t_upg_country_table, reserved) == 11600,
              "the country table's offsets");
static_assert(offsetof(t_upg_country_record, cid) == 0 &&
                  offsetof(t_upg_country_record, country_name) == 16 &&
                  offsetof(t_upg_country_record, quarter) == 80 &&
                  offsetof(t_upg_country_record, year) == 88 &&
                  offsetof(t_upg_country_record, new_version) == 96 &&
                  offsetof(t_upg_country_record, new_release) == 112 &&
                  offsetof(t_upg_country_record, old_version) == 128 &&
                  offsetof(t_upg_country_record, old_release) == 144 &&
                  offsetof(t_upg_country_record, new_size) == 160 &&
                  offsetof(t_upg_country_record, old_size) == 164,
              "a country record's offsets");

namespace {

// Fills one record of the script's table from a country of the list.
void FillRecord(t_upg_country_record &p_out,
                const C_MAP_UPG_CARTOTREE::t_plugin_cid_element &p_in) {
    p_in.cid.SafeCopyToBuffer(p_out.cid, sizeof p_out.cid, 2);
    p_in.country_name.SafeCopyToBuffer(p_out.country_name, sizeof p_out.country_name, 2);
    p_in.quarter.SafeCopyToBuffer(p_out.quarter, sizeof p_out.quarter, 2);
    p_in.year.SafeCopyToBuffer(p_out.year, sizeof p_out.year, 2);
    p_in.new_version.SafeCopyToBuffer(p_out.new_version, sizeof p_out.new_version, 2);
    p_in.new_release.SafeCopyToBuffer(p_out.new_release, sizeof p_out.new_release, 2);
    p_in.old_version.SafeCopyToBuffer(p_out.old_version, sizeof p_out.old_version, 2);
    p_in.old_release.SafeCopyToBuffer(p_out.old_release, sizeof p_out.old_release, 2);
    // The sizes come from a 32-bit conversion: they fit unsigned int.
    p_out.new_size = static_cast<unsigned int>(p_in.new_size);
    p_out.old_size = static_cast<unsigned int>(p_in.old_size);
}

} // namespace

// "Get_DVD_CIDInfoList": 0 the script's country table (UPG_COUNTRY_TABLE_SIZE
// bytes, at any address: no alignment is required). Builds the medium's
// country list; on success clears the table and writes up to UPG_COUNTRY_MAX
// records into it (countries beyond are counted in `total` and in the log,
// not written). Result of building the list (0 on success); -1 without carto
// tree or for a null table (nothing built or written then). Interpreter's
// task.
val_t C_BUILTINS::s_Get_DVD_CIDInfoList() {
    plat::log("C_BUILTINS::Get_DVD_CIDInfoList() \n");
    C_MAP_UPG_CARTOTREE *l_tree = CartoTreeOrLeave("GetUpgDVD_CurrVersNaviFile()");
    if (l_tree == nullptr)
        return EiC_IntResult(-1);
    // The script's table is only a byte address: it may not be aligned for
    // the records' ints, so the records are built in a local table and copied
    // out whole.
    unsigned char *l_script_table = static_cast<unsigned char *>(EiC_ArgPtr(0));
    if (l_script_table == nullptr) {
        plat::log("Get_DVD_CIDInfoList() country table is NULL so leave\n");
        return EiC_IntResult(-1);
    }

    CKWArray<C_MAP_UPG_CARTOTREE::t_plugin_cid_element> l_CIDInfoList(10, 10);
    int l_result = l_tree->Build_DVD_CIDInfoList(l_tree->GetUpgPlginType(), l_CIDInfoList);
    plat::log("GetUpgDVD_CurrVersNaviFile() l_CIDInfoList size = %d \n", l_CIDInfoList.GetSize());
    if (l_result != 0)
        return EiC_IntResult(l_result);

    l_CIDInfoList = l_tree->GetUpgMediaCidList();
    const int l_size = l_CIDInfoList.GetSize();
    plat::log("GetUpgDVD_CurrVersNaviFile() l_CIDInfoList size = %d \n", l_size);

    // The table is cleared whole, then filled record by record: nothing is
    // written beyond its UPG_COUNTRY_TABLE_SIZE bytes.
    t_upg_country_table l_table;
    std::memset(&l_table, 0, sizeof l_table);
    int l_count = 0;
    for (int l_i = 0; l_i < l_size && l_count < UPG_COUNTRY_MAX; ++l_i) {
        C_MAP_UPG_CARTOTREE::t_plugin_cid_element *l_elt = nullptr;
        if (l_CIDInfoList.GetPtr(l_i, &l_elt) != 1)
            continue;
        FillRecord(l_table.records[l_count], *l_elt);
        ++l_count;
    }
    l_table.count = l_count;
    l_table.total = l_size;
    std::memcpy(l_script_table, &l_table, sizeof l_table);
    if (l_size > l_count)
        plat::log("Get_DVD_CIDInfoList() %d countries beyond the table's room (%d) not written \n",
                  (l_size - l_count), UPG_COUNTRY_MAX);
    return EiC_IntResult(l_result);
}
