// The carto tree's log texts that the host tools read back to say why the
// tree refused a medium or a country. Each is the format of one logMsg call
// of the tree, written once here and used by that call: a tool recognises a
// line by the same constant, so a reworded text cannot silently change what
// a tool concludes.
#ifndef C_MAP_UPG_CARTOTREE_LOG_H
#define C_MAP_UPG_CARTOTREE_LOG_H

// ---- Descriptor files: the file does not open, cannot be read or parsed ----
inline constexpr char g_carto_log_descri_fopen[] =
    "%ld - (C_MAP_UPG_CARTOTREE)   %s(),  fopen (%s) return NULL !!!\n ";
inline constexpr char g_carto_log_descri_read[] =
    "%ld - (C_MAP_UPG_CARTOTREE)   %s(),  read (%s) failed (errno = 0x%X) !!!\n";
inline constexpr char g_carto_log_descri_convert[] =
    "%ld - (C_MAP_UPG_CARTOTREE)   %s(), ERROR Occured, LEAVE!!! \n";
// An entry of a descriptor list cannot be read (two calls, two spacings).
inline constexpr char g_carto_log_getptr_failed[] = "%ld - %s(), GetPtr on position '%d' FAILED \n";
inline constexpr char g_carto_log_getptr_error[] =
    "%ld - (C_MAP_UPG_CARTOTREE)   %s(), An error occured on 'GetPtr'\n";
inline constexpr char g_carto_log_getptr_error_convert[] =
    "%ld - (C_MAP_UPG_CARTOTREE)   %s(), An error occured on 'GetPtr'  \n";

// ---- The files a descriptor lists ----
// GetUpgValidFileIfFound: the descriptor lists no file of the wanted name.
inline constexpr char g_carto_log_valid_file_missing[] =
    "%ld - (C_MAP_UPG_CARTOTREE)   %s(), Missing file\n";
// A listed file is not on the medium.
inline constexpr char g_carto_log_missing_file[] = "%ld - %s(), Missing file = '%s' \n";
// GetValueInFile: the key is refused, absent, or the file does not open.
inline constexpr char g_carto_log_key_too_long[] =
    "%ld - (C_MAP_UPG_CARTOTREE) %s ('%s', '%s') ==> key too long !!!\n";
inline constexpr char g_carto_log_key_not_found[] =
    "%ld - (C_MAP_UPG_CARTOTREE) %s ('%s', '%s') ==> not found !!!\n";
inline constexpr char g_carto_log_key_no_file[] =
    "%ld - (C_MAP_UPG_CARTOTREE) %s ('%s', '%s') ==> l_pFich == NULL !!!\n";

// ---- The country folders of a country-selection medium ----
inline constexpr char g_carto_log_country_folder[] = "%ld - %s(), pathName = '%s' \n";
inline constexpr char g_carto_log_new_country[] =
    "%ld - %s(), **** New country detected ****!!! \n";
inline constexpr char g_carto_log_country_cid[] = "%ld - %s(), : CID = '%s' \n";
inline constexpr char g_carto_log_country_listed[] =
    "%ld - %s(), : m_number_of_cid_on_media = %d!!\n";
inline constexpr char g_carto_log_not_supported_type[] =
    "%ld - (C_MAP_UPG_CARTOTREE)   %s(), Not supported upgrade type (0x%X)\n";

// ---- A CID against its group file ----
inline constexpr char g_carto_log_no_ver_field[] =
    "%ld - (C_MAP_UPG_CARTOTREE)  %s(),  No VER field in %s \n";
inline constexpr char g_carto_log_fields_differ[] =
    "%ld - (C_MAP_UPG_CARTOTREE)  %s(),  Fields are not the same : SourceVersion is "
    "%s and CID is %s \n";
inline constexpr char g_carto_log_cid_not_in_path[] =
    "%ld - (C_MAP_UPG_CARTOTREE)   %s(), An error occured on 'FindCIDinPath'\n";

// ---- The current-version file (a country's name) ----
inline constexpr char g_carto_log_curr_vers_fopen[] =
    "%ld - (C_MAP_UPG_CARTOTREE)  %s(), (fopen '%s') return ERROR (errno = 0x%X) \n";
inline constexpr char g_carto_log_curr_vers_no_cid[] =
    "%ld - (C_MAP_UPG_CARTOTREE)  %s(), CID '%s' not found or corrupted... \n";
// Arguments: the function, the CID, the name, the quarter, the year.
inline constexpr char g_carto_log_curr_vers_values[] =
    "%ld - (C_MAP_UPG_CARTOTREE)  %s ('%s') = '%s' 'Q%s-%s'  \n";

// ---- A country's size and version against the card ----
inline constexpr char g_carto_log_block_size_bad[] =
    "%ld - (C_MAP_UPG_CARTOTREE)  %s,  m_plgin_partition_blk_size == %d!!! \n";
inline constexpr char g_carto_log_no_version[] =
    "%ld - (C_MAP_UPG_CARTOTREE)   %s(),  Error during reading '%s', field 'VERSION' \n";
inline constexpr char g_carto_log_no_release[] =
    "%ld - (C_MAP_UPG_CARTOTREE)   %s(),  Error during reading '%s', field 'RELEASE' \n";
inline constexpr char g_carto_log_no_cid_size[] =
    "%ld - (C_MAP_UPG_CARTOTREE)   %s(),  Error during reading '%s', field 'CID_SIZE' \n";
inline constexpr char g_carto_log_older_version[] =
    "%ld - (C_MAP_UPG_CARTOTREE)   %s(),  new version (%d) < old version (%d)\n";
inline constexpr char g_carto_log_older_release[] =
    "%ld - (C_MAP_UPG_CARTOTREE)   %s(),  version (%d) => new release (%s) < old release (%s)\n";

// ---- The type of upgrade a medium offers ----
inline constexpr char g_carto_log_version_file_absent[] =
    "GetUpgradeType() Invalid SUPPORT UpgradeType = NONE\n";
inline constexpr char g_carto_log_no_version_file[] =
    "GetUpgDVDorCDValidFileIfFound()   Missing file\n";
inline constexpr char g_carto_log_type_none[] = " UpgradeType = NONE \n";

#endif
