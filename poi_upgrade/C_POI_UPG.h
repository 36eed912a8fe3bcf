// C_POI_UPG: installs a delivery of new POI files on the SD card. The
// delivery's archive is extracted under "/SDH/MAPPE/tmp_poi"; for each
// delivered country whose map is installed, the new files are merged with the
// user's current POI files group by group (a group being updated only when its
// new DATE is not older) and the result is staged in
// "/SDH/MAPPE/POI_USER/TEMP_<CID>". The delivery's version file is staged as
// "/SDH/TEMP_POI_VER.POI". The user folders themselves are never changed.
//
// One object lives for one installation and runs on the caller's task (the
// script interpreter's).
#ifndef POI_UPGRADE_C_POI_UPG_H
#define POI_UPGRADE_C_POI_UPG_H

#include "foundation/CKWString.h"

class C_FS_STORAGE_ENTITY;

class C_POI_UPG {
public:
    // Keeps a copy of the archive path and the address of the bargraph text
    // (the caller's buffer, which must outlive the object).
    C_POI_UPG(const CKWString &poi_archive, char *bargraph_text);
    ~C_POI_UPG();

    // The whole installation: clean-up of earlier leftovers, staging of the
    // version file (archive path + ".inf"), extraction of the delivery's
    // "tmp_poi/" entries only, merge of every country, and last the removal of
    // the installed version file "/SDH/POI_VER.POI" (the staged one replaces
    // it). 0 only when every step succeeded; -1 (or the failing step's result)
    // otherwise, and then the installed version file is left as it was and the
    // staged one removed. An empty archive path is refused before anything is
    // touched.
    int UpgradeTask();

    // Merges every country folder found under "/SDH/MAPPE/tmp_poi", then
    // removes the work folders. 0 when every country merged and the work
    // folders are gone; -1 when any country failed (the walk goes on with the
    // others), when no country folder was delivered or the folder cannot be
    // read, or when a work folder remains.
    int ManagementOfNewPOIs();

    // Merges one country: `cid` is its folder name, `new_folder` the full path
    // of its new files. 0 on success (also for a country without installed
    // map, which is skipped), -1 on failure; a country that failed at any
    // step is not staged.
    int MergeThisNewPOI(CKWString &cid, CKWString &new_folder);

    // Merges every group announced by the text files of new_folder into
    // merge_folder. 0 when all merged, -1 otherwise.
    int MergeGroups(CKWString &merge_folder, CKWString &new_folder);

    // Copies the files of group `prefix` from new_folder into merge_folder
    // when the group's new DATE is not older than the one in merge_folder.
    // 0 on success (also when the dates forbid the update), -1 on failure.
    int ManageFilesInsideMergeFolder(CKWString merge_folder, CKWString new_folder,
                                     CKWString prefix);

    // 1 when the path `file` names a file of the group `prefix`, else 0.
    int IsPrefixFile(CKWString file, CKWString prefix);

    // Reads the value of `key` in a text file of "KEY:value" lines: the last
    // matching line wins, the value keeps its spaces and ends at the line end
    // (LF or CR). 0 with `value` set when found; -1 with `value` emptied when
    // the file cannot be opened or holds no matching line.
    // Differs on purpose from C_MAP_UPG_CARTOTREE::GetValueInFile (first match, cut at a space).
    int GetValueInFile(const CKWString &file, const CKWString &key, CKWString &value);
    // True when the last GetValueInFile met a file that exists but could not
    // be opened or read (its -1 then says nothing about the key).
    bool LastReadFailed() const { return m_read_failed; }

private:
    C_POI_UPG(const C_POI_UPG &) = delete;
    C_POI_UPG &operator=(const C_POI_UPG &) = delete;

    // Shows the upgrade bargraph at p_percent with m_bargraph_text.
    void StepBargraph(int p_percent);

    // The phases of UpgradeTask and the steps of the merge walks; each is
    // described with its definition. Caller's task.
    int ExtractAndMerge(const C_FS_STORAGE_ENTITY &p_carto_dir);
    int FinishInstallation(int p_result, const CKWString &p_version_file);
    int MergeDeliveredEntry(const char *p_name, int &p_countries);
    int MergeGroupOfFile(CKWString &merge_folder, CKWString &new_folder, const char *p_name);
    int DatesAllowUpdate(const CKWString &p_old_version, const CKWString &p_new_version);

    CKWString m_poi_archive;
    CKWString m_prefix;
    char *m_bargraph_text;
    bool m_read_failed;
};

#endif
