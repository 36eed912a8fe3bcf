// C_MAP_UPG_CARTOTREE: the carto tree, the one object that analyses an
// inserted map-upgrade medium. It reads the medium's descriptor files
// ("DESCRI.DAT"), decides the upgrade type from the version file it finds,
// checks each country directory of the medium against its group file and the
// current-version file, reads each country's size class for the SD card's
// block size, and builds the list of countries offered by the medium.
//
// The object has no lock: every operation runs on the task that executes the
// upgrade scripts, one call at a time.
//
// Its implementation is split along its pieces:
//   C_MAP_UPG_CARTOTREE.cpp          object, accessors, path and file helpers
//   C_MAP_UPG_CARTOTREE_descri.cpp   descriptor file loading and parsing
//   C_MAP_UPG_CARTOTREE_upgtype.cpp  upgrade type and version-file searches
//   C_MAP_UPG_CARTOTREE_cidcheck.cpp country validity checks
//   C_MAP_UPG_CARTOTREE_cidsize.cpp  country size class from the SD block size
//   C_MAP_UPG_CARTOTREE_cidlist.cpp  the medium's country list
#ifndef C_MAP_UPG_CARTOTREE_H
#define C_MAP_UPG_CARTOTREE_H

#include "foundation/CKWArray.h"
#include "foundation/CKWString.h"
#include "platform/plat_log.h"
#include "platform/vxworks.h"
#include "unit/systool.h"

#include <cstdint>

// Selects the log channel of LogCartoTree and the roots of the medium's paths:
// 0 and 1 log through logMsg and hang every path off media_carto_drive; 2 and
// above log through SYSTOOL_LogMsgNoFormat and use m_perimeter_root. Compared
// as an unsigned number. The builtins only ever use 0.
typedef uint32_t PERIMETER;

// Upgrade type of an inserted medium.
typedef enum {
    UPG_PLUGIN_TYPE_NONE = 0,                 // no usable map upgrade
    UPG_PLUGIN_TYPE_MODULE_COUNTRY = 0x10001, // single country ("CD_VER.NAV")
    UPG_PLUGIN_TYPE_LIST_COUNTRY = 0x20001    // country selection ("DVD_VER.NAV")
} t_upg_plugin_type;

// The country file that GetUpgValidFileIfFound looks for.
typedef enum {
    CD_VER_NAV_INF_FILE = 1, // "CD_VER.NAV.INF"
    GRUPPO_4_CID_FILE = 2    // "GRUPPO_4_CID.DAT.inf"
} UPG_VALID;

// The most characters one read of a descriptor file takes: a longer line of
// the file is read as several lines, one record each.
const int UPG_DESCRI_LINE_MAX = 249;
// The same for the current-version file "CURR_VERS_NAVI.TXT".
const int UPG_CURR_VERS_LINE_MAX = 299;

// One line of a descriptor file: five comma-separated fields.
struct t_upg_descri_dat_elt {
    CKWString m_key;       // field 1
    CKWString m_field2;    // field 2, as read
    CKWString m_file_path; // field 3, path relative to the medium's root, '\' made '/'
    CKWString m_field4;    // field 4, as read
    CKWString m_field5;    // field 5, as read (may end with the line end characters)
};

class C_MAP_UPG_CARTOTREE {
public:
    // One country offered by the medium.
    struct t_plugin_cid_element {
        CKWString country_name; // field 6 of the country's current-version line
        CKWString cid;          // "CID" of the medium's CD_VER.NAV.INF
        uint64_t new_size = 0;  // size value on the medium (32-bit strtoul)
        CKWString quarter;      // field 3 of the current-version line
        CKWString year;         // field 4 of the current-version line
        CKWString new_version;  // "VERSION" on the medium
        CKWString new_release;  // "RELEASE" on the medium
        CKWString old_version;  // "VERSION" installed; empty when none
        CKWString old_release;  // "RELEASE" installed; empty when none
        uint64_t old_size = 0;  // installed size value; 0 when none
    };

    // ---- Construction (C_MAP_UPG_CARTOTREE.cpp) ----
    // Empty tree for the given perimeter. Logs its construction through
    // SYSTOOL_LogMsgNoFormat. Any task.
    explicit C_MAP_UPG_CARTOTREE(PERIMETER p_perimeter);
    // As above, with the medium's root and the product's cartography drive.
    C_MAP_UPG_CARTOTREE(PERIMETER p_perimeter, const CKWString &p_media, CKWString &p_product);
    virtual ~C_MAP_UPG_CARTOTREE();

    // ---- Accessors: script task ----
    const CKWString &GetMediaCartoDrive() const { return media_carto_drive; }
    void SetMediaCartoDrive(const CKWString &p_drive) { media_carto_drive = p_drive; }
    const CKWString &GetProductCartoPath() const { return product_carto_drive; }
    void SetProductCartoPath(const CKWString &p_path) { product_carto_drive = p_path; }
    const CKWString &GetMapPlgin_DVD_or_CD() const { return m_map_plgin_DVD_or_CD; }
    void SetMapPlgin_DVD_or_CD(const CKWString &p_path) { m_map_plgin_DVD_or_CD = p_path; }
    const CKWString &GetMapPlgin_DVD_CurrVersNavi() const { return m_map_plgin_DVD_CurrVersNavi; }
    void SetMapPlgin_DVD_CurrVersNavi(const CKWString &p_path) {
        m_map_plgin_DVD_CurrVersNavi = p_path;
    }
    t_upg_plugin_type GetUpgPlginType() const { return m_upg_plgin_type; }
    void SetUpgPlginType(t_upg_plugin_type p_type) { m_upg_plgin_type = p_type; }
    const CKWArray<t_plugin_cid_element> &GetUpgMediaCidList() const {
        return m_upg_media_cid_list;
    }
    // Replaces the country list's contents with a copy of p_list.
    void SetUpgMediaCidList(const CKWArray<t_plugin_cid_element> &p_list) {
        m_upg_media_cid_list = p_list;
    }
    // Root used instead of media_carto_drive when the perimeter is 2 or more.
    const CKWString &GetPerimeterRoot() const { return m_perimeter_root; }
    void SetPerimeterRoot(const CKWString &p_root) { m_perimeter_root = p_root; }
    PERIMETER GetPerimeter() const { return m_perimeter; }
    // SD block size cached by GetCIDSize: 0 not read yet (or read as 0, read
    // again next time), -1 reading failed.
    int GetPartitionBlkSizeCache() const { return m_plgin_partition_blk_size; }
    // The descriptor lists filled from the main descriptor file.
    const CKWArray<t_upg_descri_dat_elt> &GetDescriDatList() const { return m_descri_dat_list; }
    const CKWArray<t_upg_descri_dat_elt> &GetDbDownloadList() const { return m_db_download_list; }
    const CKWArray<t_upg_descri_dat_elt> &GetGruppoRootList() const { return m_gruppo_root_list; }
    const CKWArray<t_upg_descri_dat_elt> &GetIconBrandsList() const { return m_icon_brands_list; }

    // ---- Path and file helpers (C_MAP_UPG_CARTOTREE.cpp): script task ----
    // p_file_path := media_carto_drive followed by p_relative (no separator
    // added: the drive ends in '/').
    void BuildUpgFilePath(CKWString &p_file_path, CKWString &p_relative);
    // Directory part of p_full_path up to and including its last '/': 0, or -1
    // (p_dir untouched) when there is no '/'.
    int XtractPath(const CKWString &p_full_path, CKWString &p_dir);
    // Same as XtractPath (the builtins' name for it).
    int UpgXtractPath(const CKWString &p_full_path, CKWString &p_dir);
    // File-name part after the last '/' (possibly empty): 0, or -1 (p_file
    // untouched) when there is no '/'.
    int XtractFile(const CKWString &p_full_path, CKWString &p_file);
    // True when the file opens for reading.
    bool IsExistFile(const CKWString &p_path);
    // Reads the value of the first line "key:value" of a key-and-value file.
    // The key is anchored at the first column and includes its colon; the
    // value ends at the first line feed, carriage return or space. 0 with
    // p_value set; -1 with p_value emptied (file missing, key absent, or a key
    // longer than 98 characters).
    // Differs on purpose from C_POI_UPG::GetValueInFile (last match, spaces kept).
    int GetValueInFile(const CKWString &p_file, const CKWString &p_key, CKWString &p_value);
    // Writes one log line through the perimeter's channel: the unit's
    // logging service (SysTool) above perimeter 1, else logMsg. Up to six
    // integer, enumerator or pointer arguments, as plat::log takes them.
    template <typename... Args> void LogCartoTree(const char *p_format, Args... p_args) {
        if (m_perimeter > 1)
            LogSysTool(p_format, p_args...);
        else
            plat::log(p_format, p_args...);
    }
    // Writes one line through the unit's logging service (SysTool), whatever
    // the perimeter; arguments as for LogCartoTree.
    template <typename... Args> static void LogSysTool(const char *p_format, Args... p_args) {
        plat::checkLogArgCount<plat::k_log_args_max, Args...>();
        SYSTOOL_LogMsgNoFormat(false, p_format, plat::logArg(p_args)...);
    }

    // ---- Descriptor files (C_MAP_UPG_CARTOTREE_descri.cpp): script task ----
    // Appends the root and the first p_length characters of p_name to p_path
    // (nothing for a perimeter of 4 or more, or a negative length).
    void BuildMainDescriDatFilePath(CKWString &p_path, const char *p_name, int p_length);
    // Appends the lines of the file (pieces of at most 249 characters, line
    // ends kept) to p_list. 0, or -1 when the file does not open or a read
    // fails (logged with the file's name; p_list then holds the lines read
    // before, for the caller to release).
    int LoadDescriDataInMemory(const char *p_file, CKWArray<CKWString> &p_list);
    // Releases every line of p_list and its storage.
    void FreeDescriDatData(CKWArray<CKWString> &p_list);
    // Splits one line into the five fields of p_elt. Every field starts empty:
    // a field the line lacks stays empty. Always 0 (-1 for a null record).
    int GetUniqueDescriDatInfo(CKWString &p_line, t_upg_descri_dat_elt *p_elt);
    // Replaces every '\' by '/' among the first p_length characters of
    // p_buffer. 0, or -1 for a null buffer.
    int UpdateFileNameIfNeeded(char *p_buffer, int p_length);
    // Parses the main descriptor's lines into m_descri_dat_list and the three
    // keyed lists. 0, or -1 when a line cannot be taken.
    int SaveMainDescriDatIntoSpecifiedList(CKWArray<CKWString> &p_data_List);
    // Parses a country descriptor's lines, appending one record per line to
    // p_list. 0, or -1 when a line cannot be taken.
    int ConvertDataIntoDescriDatEltList(CKWArray<CKWString> &p_data_List,
                                        CKWArray<t_upg_descri_dat_elt> &p_list);
    // p_value := the text after the p_n-th comma of p_text (first 299
    // characters) up to the next comma or the end. 0, or -1 (p_value empty)
    // when there are fewer than p_n commas or p_n < 1.
    int ExtractValueAfterComma(const char *p_text, int p_n, CKWString &p_value);

    // ---- Upgrade type (C_MAP_UPG_CARTOTREE_upgtype.cpp): script task ----
    // Analyses the main descriptor file p_descri_root_file (first p_length
    // characters) under the medium's root and returns the upgrade type. Every
    // analysis starts afresh: the descriptor lists, the version-file paths and
    // the type of an earlier medium are dropped first, and the current-version
    // file's path is set from this medium's records (empty when they list
    // none, or when the descriptor cannot be read). p_media is not used.
    t_upg_plugin_type GetUpgradeType(const char *p_descri_root_file, int p_length,
                                     const CKWString &p_media);
    // Searches m_descri_dat_list for "DVD_VER.NAV", then "CD_VER.NAV"; 0 with
    // m_map_plgin_DVD_or_CD set, or -1.
    int GetUpgDVDorCDValidFileIfFound();
    // Type from the version file's name; 0, or -1 when the path has no '/'.
    int SetUpgType(CKWString &p_path, t_upg_plugin_type *p_type);
    // Searches m_descri_dat_list for "CURR_VERS_NAVI.TXT"; 0 with
    // m_map_plgin_DVD_CurrVersNavi set, or -1.
    int GetUpgDVD_CurrVersNaviAbsolutePath();
    // Position of the record of the file selected by p_which in p_list; 0, or
    // -1 when absent (or p_which unknown).
    int GetUpgValidFileIfFound(CKWArray<t_upg_descri_dat_elt> &p_list, int *p_position,
                               UPG_VALID p_which);
    // Position of the first record whose path's last component begins with
    // the first p_n characters of p_name; 0, or -1.
    int CheckUpgDescriRelativeFile(CKWArray<t_upg_descri_dat_elt> &p_list, const char *p_name,
                                   int p_n, int *p_position);
    // True when the last component of p_path begins with p_name (p_n chars).
    bool GetUpgDescriRelativeFile(CKWString &p_path, const char *p_name, int p_n);

    // ---- Country checks (C_MAP_UPG_CARTOTREE_cidcheck.cpp): script task ----
    // 0 with p_found true when p_cid occurs in p_file_name; -1 otherwise.
    int FindCIDinPath(const CKWString &p_file_name, const CKWString &p_cid, bool &p_found);
    // 0 when the "VER" of p_dir + p_file_name equals p_cid; -1 otherwise.
    int UpgIsGruppoValid(CKWString &p_file_name, CKWString &p_dir, const CKWString &p_cid);
    // 0 when the country's group file is listed, exists, lies on a path
    // containing the CID and carries the CID as its "VER"; -1 otherwise.
    int CheckGruppoValidityFile(const CKWString &p_cid, CKWArray<t_upg_descri_dat_elt> &p_list);
    // Reads the first complete line of p_cid in the current-version file. 0
    // with the five texts set; -1 otherwise (name, quarter and year emptied).
    int GetCIDValuesFromDVD(const CKWString &p_cid, CKWString &p_country_name, CKWString &p_quarter,
                            CKWString &p_year, CKWString &p_field5, CKWString &p_field7);

    // ---- Size class (C_MAP_UPG_CARTOTREE_cidsize.cpp): script task ----
    // Block size of the file system of p_device in bytes (0 when it reports
    // none), or -1 when the device does not open or fstat fails.
    int GetPartitionBlockSize(const CKWString &p_device);
    // Size value of p_file for the SD card's block size ("CID_SIZE_4/8/16/32",
    // else "CID_SIZE"). 0 with p_size set, or -1.
    int GetCIDSize(const CKWString &p_file, CKWString &p_size);

    // ---- Country list (C_MAP_UPG_CARTOTREE_cidlist.cpp): script task ----
    // Scans the medium's "MAPPE/" folder and lists its acceptable countries in
    // m_upg_media_cid_list, which starts empty for each scan. Decides by the
    // object's own type; p_type and p_list are not used. 0 when the folder was
    // scanned; -1 when the type is not LIST_COUNTRY or the folder does not
    // open (the list is then unchanged).
    int Build_DVD_CIDInfoList(t_upg_plugin_type p_type, CKWArray<t_plugin_cid_element> &p_list);
    // Checks one country and appends its record when accepted. 0 when
    // appended; -1 when refused.
    int AddThisCIDInfoToTheList(const CKWString &p_cid, CKWArray<t_upg_descri_dat_elt> &p_list);

    // Converts a size text like the 32-bit C library's strtoul in base 10: not
    // a number gives 0, above 4294967295 gives 4294967295, a leading '-'
    // negates modulo 2^32. The same on every host.
    static uint32_t SizeTextToNumber(const char *p_text);

private:
    C_MAP_UPG_CARTOTREE(const C_MAP_UPG_CARTOTREE &) = delete;
    C_MAP_UPG_CARTOTREE &operator=(const C_MAP_UPG_CARTOTREE &) = delete;

    // The medium's root for the country scan: media_carto_drive or, for a
    // perimeter of 2 or more, m_perimeter_root.
    const CKWString &ScanRoot() const;
    // m_map_plgin_DVD_CurrVersNavi := the absolute path of the first record
    // of m_descri_dat_list naming "CURR_VERS_NAVI.TXT", or empty. No log.
    void DeriveCurrVersNaviPath();

    PERIMETER m_perimeter;
    CKWString media_carto_drive;
    CKWString product_carto_drive;
    CKWString m_perimeter_root;
    CKWString m_map_plgin_DVD_or_CD;
    CKWString m_map_plgin_DVD_CurrVersNavi;
    t_upg_plugin_type m_upg_plgin_type;
    CKWArray<CKWString> m_data_list;
    CKWArray<t_upg_descri_dat_elt> m_db_download_list;
    CKWArray<t_upg_descri_dat_elt> m_gruppo_root_list;
    CKWArray<t_upg_descri_dat_elt> m_icon_brands_list;
    CKWArray<t_upg_descri_dat_elt> m_descri_dat_list;
    int m_plgin_partition_blk_size;
    CKWArray<t_plugin_cid_element> m_upg_media_cid_list;
};

#endif
