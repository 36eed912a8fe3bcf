// POI upgrade task and merge: the installation sequence (clean-up, version
// file, extraction, bargraph steps and pauses), the walk over the delivered
// countries, the merge of one country and the date rule of one file group.
#include "poi_upgrade/C_POI_UPG.h"

#include "builtins/C_BUILTINS.h"
#include "platform/plat_io.h"
#include "platform/plat_log.h"
#include "platform/vxworks.h"
#include "poi_upgrade/C_POI_UPG_LOG.h"
#include "unit/hmi.h"
#include "unit/storage.h"
#include "untgz/C_UNTGZ.h"

#include <cerrno>
#include <cstring>

namespace {

// Fixed layout on the SD card.
const char k_mappe_folder[] = "/SDH/MAPPE/";
const char k_tmp_poi_folder[] = "/SDH/MAPPE/tmp_poi";
const char k_merge_folder[] = "/SDH/MAPPE/MERGE/";
const char k_merge_folder_no_slash[] = "/SDH/MAPPE/MERGE";
const char k_poi_user_folder[] = "/SDH/MAPPE/POI_USER";
const char k_poi_user_temp_dot[] = "/SDH/MAPPE/POI_USER/TEMP*.*";
const char k_poi_user_temp[] = "/SDH/MAPPE/POI_USER/TEMP*";
const char k_installed_version[] = "/SDH/POI_VER.POI";
const char k_staged_version[] = "/SDH/TEMP_POI_VER.POI";
// The only entries of a delivery that are extracted.
const char k_allowed_prefix[] = "tmp_poi/";

const char k_star_line[] = "********************************************\n";
const char k_merge_star_line[] = "\n***************************************************\n";

// Length of each pause of the installation, in ticks. On the host, tests and
// tools that want the pauses short raise the tick rate.
const int k_pause_ticks = 500;

// Whether a folder is there: 1 when p_path can be opened as a directory, 0
// when it does not exist, -1 when it cannot be told (any other error).
int FolderState(const CKWString &p_path) {
    DIR *l_dir = plat::opendir(p_path.GetBuffer());
    if (l_dir != nullptr) {
        plat::closedir(l_dir);
        return 1;
    }
    int l_errno = errnoGet();
    return (l_errno == ENOENT || l_errno == ENOTDIR) ? 0 : -1;
}

bool FolderExists(const CKWString &p_path) {
    return FolderState(p_path) == 1;
}

// Removes a tree (a file, a folder, or what a wildcard matches) with xdelete,
// then the folder itself should it remain. True when nothing of it is left
// (also when there was nothing); false, logged, when something remains.
bool RemoveTree(const char *p_path) {
    bool l_gone = xdelete(p_path) == OK || errnoGet() == ENOENT;
    if (l_gone && std::strpbrk(p_path, "*?") == nullptr)
        plat::rmdir(p_path);
    if (!l_gone)
        plat::log("%ld - (C_POI_UPG) could not remove %s (errno = 0x%X)\n", tickGet(), p_path,
                  errnoGet());
    return l_gone;
}

// Creates a folder; true also when it exists already.
bool MakeFolder(const char *p_path) {
    if (plat::mkdir(p_path) == 0)
        return true;
    struct stat l_status;
    if (errnoGet() == EEXIST && plat::stat(p_path, &l_status) == 0 && S_ISDIR(l_status.st_mode))
        return true;
    plat::log("%ld - (C_POI_UPG) could not create %s (errno = 0x%X)\n", tickGet(), p_path,
              errnoGet());
    return false;
}

// readdir with the end of the folder told apart from an error: null at the
// end (p_failed false) or on an error (p_failed true, logged).
struct dirent *ReadEntry(DIR *p_dir, const char *p_path, bool &p_failed) {
    errnoSet(0);
    struct dirent *l_entry = plat::readdir(p_dir);
    if (l_entry == nullptr && errnoGet() != 0) {
        p_failed = true;
        plat::log(g_poi_log_read_folder, tickGet(), p_path, errnoGet());
    }
    return l_entry;
}

// How a walk over a folder ended.
enum class WalkEnd {
    Done,       // every entry was handed over
    NotOpened,  // the folder does not open (errno says why)
    Empty,      // the first read gave nothing (errno: 0 at the end, else the read's error)
    ReadFailed, // a later read failed (logged); the entries before it were handed over
};

// Hands the name of every entry of folder p_path to p_visit(const char *), in
// directory order, "." and ".." included, then closes the folder. A read
// error is logged (ReadEntry) and ends the walk. errno on return is what the
// last read left. Caller's task.
template <typename Visit> WalkEnd WalkFolder(const char *p_path, Visit p_visit) {
    DIR *l_dir = plat::opendir(p_path);
    if (l_dir == nullptr)
        return WalkEnd::NotOpened;
    bool l_failed = false;
    struct dirent *l_entry = ReadEntry(l_dir, p_path, l_failed);
    WalkEnd l_end = l_entry == nullptr ? WalkEnd::Empty : WalkEnd::Done;
    for (; l_entry != nullptr; l_entry = ReadEntry(l_dir, p_path, l_failed))
        p_visit(static_cast<const char *>(l_entry->d_name));
    int l_errno = errnoGet();
    plat::closedir(l_dir);
    errnoSet(l_errno);
    if (l_end == WalkEnd::Done && l_failed)
        l_end = WalkEnd::ReadFailed;
    return l_end;
}

// Flushes everything written to the SD card to the medium. True when done;
// false, logged, when the card cannot be opened or flushed.
bool FlushCard() {
    int l_fd = plat::open("/SDH", O_RDONLY, 0);
    int l_rc = l_fd >= 0 ? plat::ioctl(l_fd, FIOSYNC, 0) : -1;
    int l_errno = errnoGet();
    if (l_fd >= 0)
        plat::close(l_fd);
    if (l_rc == 0)
        return true;
    plat::log(g_poi_log_flush, tickGet(), "/SDH", l_errno);
    return false;
}

// Removes the staged version file "/SDH/TEMP_POI_VER.POI" of an earlier
// installation and puts its removal on the card (a flush), so that it no
// longer claims the staging folders beside it. True when it is gone and the
// removal flushed (also when there was none: nothing to flush); false,
// logged, otherwise. Caller's task.
bool RemoveStagedVersion() {
    struct stat l_status;
    if (plat::stat(k_staged_version, &l_status) != 0 && errnoGet() == ENOENT)
        return true;
    return RemoveTree(k_staged_version) && FlushCard();
}

// Removes what an earlier installation may have left: a staging folder left
// behind would be taken for part of this one. The staged version file claims
// the staging folders, so it goes first, its removal flushed, before any of
// them is removed or changed: a power loss in the middle of their removal
// never leaves it claiming folders half removed. When it cannot be removed
// (or the removal flushed), nothing else is touched. True when all of it is
// gone; otherwise every removal is tried. Caller's task.
bool RemoveLeftovers() {
    if (!RemoveStagedVersion())
        return false;
    bool l_cleaned = RemoveTree(k_merge_folder);
    l_cleaned = RemoveTree(k_tmp_poi_folder) && l_cleaned;
    l_cleaned = RemoveTree(k_poi_user_temp_dot) && l_cleaned;
    l_cleaned = RemoveTree(k_poi_user_temp) && l_cleaned;
    return l_cleaned;
}

// Makes the folder of the user's POI folders when it is missing, logging
// either case. True when the folder is there. Caller's task.
bool EnsureUserFolder() {
    if (FolderExists(CKWString(k_poi_user_folder))) {
        plat::log("%ld - (C_POI_UPG) UpgradeTask : Folder %s already exists! \n", tickGet(),
                  k_poi_user_folder);
        return true;
    }
    plat::log("%ld - (C_POI_UPG) UpgradeTask : Folder %s doesn't exist : Create it! \n", tickGet(),
              k_poi_user_folder);
    return MakeFolder(k_poi_user_folder);
}

// True when p_path can be opened for reading as a regular file (opened
// without blocking, so that a FIFO cannot hang the installation).
bool ReadableFile(const char *p_path) {
    int l_fd = plat::open(p_path, O_RDONLY | O_NONBLOCK);
    if (l_fd < 0)
        return false;
    struct stat l_status;
    bool l_regular = plat::fstat(l_fd, &l_status) == 0 && S_ISREG(l_status.st_mode);
    int l_errno = l_regular ? 0 : (errnoGet() != 0 ? errnoGet() : EINVAL);
    plat::close(l_fd);
    if (!l_regular)
        errnoSet(l_errno);
    return l_regular;
}

} // namespace

C_POI_UPG::C_POI_UPG(const CKWString &poi_archive, char *bargraph_text)
    : m_poi_archive(poi_archive), m_prefix(), m_bargraph_text(bargraph_text), m_read_failed(false) {
}

C_POI_UPG::~C_POI_UPG() {}

void C_POI_UPG::StepBargraph(int p_percent) {
    C_MMI_UPGRADE::StepBargraph(m_bargraph_text, p_percent);
}

// Caller's task (the interpreter's). Bargraph steps of a successful run: 10,
// 45, 60, 65, 90, 75 (while the countries are read), 100. The staged version
// file claims the staged folders, so it comes last: the delivery's version
// file is checked at the start (a missing one stops the installation before
// anything is extracted), but copied to "/SDH/TEMP_POI_VER.POI" only once
// every staging folder is in place and the card flushed, and the copy is
// synced before it is put in place; a power loss at any moment never leaves
// a staged version over an incomplete staging. The installed version file is
// removed only after that, once everything succeeded; a failed installation
// leaves it and removes the staged one, so that no partial delivery is taken
// for a complete one.
int C_POI_UPG::UpgradeTask() {
    plat::log(k_star_line);
    plat::log("***************UpgradeTask******************\n");
    plat::log(k_star_line);
    plat::log("%ld - (C_POI_UPG) << UpgradeTask + >>", tickGet());

    if (m_poi_archive.GetLength() == 0) {
        plat::log("%ld - (C_POI_UPG) UpgradeTask : no POI archive given\n", tickGet());
        return -1;
    }
    if (!RemoveLeftovers())
        return -1;

    C_FS_STORAGE_ENTITY l_carto_dir;
    C_FS_STORAGE_CTRL_PATH::GetCartographyDir(l_carto_dir);

    StepBargraph(10);

    CKWString l_version_file = m_poi_archive + ".inf";
    if (!ReadableFile(l_version_file.GetBuffer())) {
        plat::log(g_poi_log_version_file, tickGet(), l_version_file.GetBuffer(), errnoGet());
        return -1;
    }

    int l_result = EnsureUserFolder() ? 0 : -1;
    if (l_result == 0)
        l_result = ExtractAndMerge(l_carto_dir);
    return FinishInstallation(l_result, l_version_file);
}

// Caller's task. Pause, bargraph 45, extraction of the delivery into the
// cartography directory's "MAPPE/", bargraph 60, pause, bargraph 65; when the
// extraction succeeded, the merge folder is made, bargraph 90, and every
// country is merged. 0, or the extraction's or the merge's failure.
int C_POI_UPG::ExtractAndMerge(const C_FS_STORAGE_ENTITY &p_carto_dir) {
    taskDelay(k_pause_ticks);

    StepBargraph(45);
    // Only the delivery's own folder may be written: an entry elsewhere (the
    // user's POI folders, the maps) fails the extraction.
    C_UNTGZ *l_untgz = C_UNTGZ::GetInstance();
    if (l_untgz != nullptr)
        l_untgz->SetAllowedPrefix(k_allowed_prefix);
    CKWString l_destination = p_carto_dir.GetName() + "MAPPE/";
    int l_result = C_BUILTINS::UnCompress(m_poi_archive.GetBuffer(), l_destination.GetBuffer());
    if (l_untgz != nullptr)
        l_untgz->SetAllowedPrefix(nullptr);
    StepBargraph(60);
    taskDelay(k_pause_ticks);
    StepBargraph(65);
    if (l_result != 0)
        return l_result;

    plat::log("%ld - (C_POI_UPG) UpgradeTask : Creation of merge folder\n", tickGet());
    if (!MakeFolder(k_merge_folder))
        return -1;
    StepBargraph(90);
    return ManagementOfNewPOIs();
}

// Caller's task. Ends the installation whose result so far is p_result. When
// it is 0, every staging folder is in place: the card is flushed first, then
// the delivery's version file p_version_file is copied (and synced) to the
// staged version that claims them, and the installed version file removed;
// bargraph 100 and a pause follow. On any failure the staged version file is
// removed and the installed one kept. Returns the installation's result.
int C_POI_UPG::FinishInstallation(int p_result, const CKWString &p_version_file) {
    int l_result = p_result;
    if (l_result == 0 && !FlushCard())
        l_result = -1;
    if (l_result == 0)
        l_result = C_BUILTINS::BuiltinsCopy(p_version_file.GetBuffer(), k_staged_version);

    // The staged version file replaces the installed one only for a
    // complete installation.
    if (l_result == 0 && !RemoveTree(k_installed_version))
        l_result = -1;
    if (l_result == 0) {
        StepBargraph(100);
        taskDelay(k_pause_ticks);
    } else {
        plat::log("%ld - (C_POI_UPG) UpgradeTask : installation failed : %s removed, %s kept\n",
                  tickGet(), k_staged_version, k_installed_version);
        RemoveTree(k_staged_version);
    }
    return l_result;
}

// Caller's task. A failure of one country does not stop the walk, and it is
// not hidden by a later country's success.
int C_POI_UPG::ManagementOfNewPOIs() {
    plat::log("%ld - (C_POI_UPG) <<ManagementOfNewPOIs + >>\n", tickGet());
    int l_result = 0;
    int l_entries = 0;
    int l_countries = 0;

    WalkEnd l_end = WalkFolder(k_tmp_poi_folder, [&](const char *p_name) {
        if (l_entries++ == 0)
            StepBargraph(75);
        if (MergeDeliveredEntry(p_name, l_countries) != 0)
            l_result = -1;
    });
    if (l_end == WalkEnd::NotOpened) {
        plat::log("%ld - (C_POI_UPG)  ManagementOfNewPOIs  opendir (%s) is NULL !!!\n", tickGet(),
                  k_tmp_poi_folder);
        l_result = -1;
    } else {
        if (l_end == WalkEnd::Empty)
            plat::log("%ld - (C_POI_UPG)  ManagementOfNewPOIs  readdir Error : Errno = 0x%X!!!\n",
                      tickGet(), errnoGet());
        if (l_end != WalkEnd::Done)
            l_result = -1;
        if (l_countries == 0) {
            plat::log("%ld - (C_POI_UPG) ManagementOfNewPOIs : no country folder in %s\n",
                      tickGet(), k_tmp_poi_folder);
            l_result = -1;
        }
    }

    plat::log("%ld - (C_POI_UPG) ManagementOfNewPOIs : Remove of /SDH/MAPPE/tmp_poi folder\n",
              tickGet());
    if (!RemoveTree(k_tmp_poi_folder))
        l_result = -1;
    plat::log("%ld - (C_POI_UPG) ManagementOfNewPOIs : Remove of /SDH/MAPPE/MERGE folder\n",
              tickGet());
    if (!RemoveTree(k_merge_folder_no_slash))
        l_result = -1;

    plat::log("%ld - (C_POI_UPG) <<ManagementOfNewPOIs - >>", tickGet());
    return l_result;
}

// Caller's task. One entry p_name of "/SDH/MAPPE/tmp_poi": a country folder
// (any folder but "." and "..") is counted in p_countries and merged
// (MergeThisNewPOI). 0 when it merged or the entry is no country; -1 when the
// merge failed or the entry cannot be examined (a country missed).
int C_POI_UPG::MergeDeliveredEntry(const char *p_name, int &p_countries) {
    CKWString l_name(p_name);
    CKWString l_path = CKWString(k_tmp_poi_folder) + "/" + l_name;
    struct stat l_status;
    if (plat::stat(l_path.GetBuffer(), &l_status) != 0) {
        // A country that cannot be examined is a country missed.
        plat::log("%ld - (C_POI_UPG)  ManagementOfNewPOIs  stat (%s) failed : skipped\n", tickGet(),
                  l_path.GetBuffer());
        return -1;
    }
    if (!S_ISDIR(l_status.st_mode))
        return 0;
    // "." and ".." leave the result as it is. On the unit they are the first
    // entries of a folder, before any country (the result is still 0 there);
    // the host lists entries in any order.
    if (l_name.Compare(".", true) == 1 || l_name.Compare("..", true) == 1)
        return 0;
    plat::log(k_merge_star_line);
    plat::log("\n%ld - (C_POI_UPG) Merge new POI CID  %s \n", tickGet(), l_name.GetBuffer());
    plat::log(k_merge_star_line);
    p_countries++;
    return MergeThisNewPOI(l_name, l_path) == 0 ? 0 : -1;
}

// Caller's task. The merge folder is built under "/SDH/MAPPE/MERGE/" and then
// moved to the staging folder "/SDH/MAPPE/POI_USER/TEMP_" + cid. A country
// that failed at any step (its merge folder not made, the user's files or the
// delivered files not copied, a folder not read, a group not updated, the
// staging move) is not staged: its merge folder is removed and the result is
// -1, so that a staging folder always holds the whole merge.
int C_POI_UPG::MergeThisNewPOI(CKWString &cid, CKWString &new_folder) {
    plat::log("%ld - (C_POI_UPG) <<MergeThisNewPOI + >>\n", tickGet());
    int l_result = 0;

    int l_map_state = FolderState(CKWString(k_mappe_folder) + cid);
    if (l_map_state != 1) {
        if (l_map_state == 0)
            plat::log("%ld - (C_POI_UPG) MergeThisNewPOI : The CID %s doesn't exist in MAPPE\n",
                      tickGet(), cid.GetBuffer());
        else
            plat::log("%ld - (C_POI_UPG) MergeThisNewPOI : cannot tell whether %s is installed "
                      "(errno = 0x%X)\n",
                      tickGet(), cid.GetBuffer(), errnoGet());
        plat::log("%ld - (C_POI_UPG) <<MergeThisNewPOI - >>\n", tickGet());
        return l_map_state == 0 ? 0 : -1;
    }

    CKWString l_merge_folder = CKWString(k_merge_folder) + cid;
    plat::log("%ld - (C_POI_UPG) MergeThisNewPOI : Creation of Temp directory : %s\n", tickGet(),
              l_merge_folder.GetBuffer());
    if (!MakeFolder(l_merge_folder.GetBuffer()))
        l_result = -1;

    CKWString l_staging_folder = CKWString(k_poi_user_folder) + "/TEMP_" + cid;
    CKWString l_user_folder = CKWString(k_poi_user_folder) + "/" + cid;
    int l_user_state = l_result == 0 ? FolderState(l_user_folder) : -1;

    if (l_user_state == 0) {
        // A country without user POIs yet: the delivered files are staged.
        plat::log("%ld - (C_POI_UPG) MergeThisNewPOI : The folder %s doesn't exist\n", tickGet(),
                  l_user_folder.GetBuffer());
        if (xcopy(new_folder.GetBuffer(), l_merge_folder.GetBuffer()) != OK) {
            plat::log("%ld - (C_POI_UPG) MergeThisNewPOI : copy of %s into %s failed\n", tickGet(),
                      new_folder.GetBuffer(), l_merge_folder.GetBuffer());
            l_result = -1;
        }
    } else if (l_user_state == 1) {
        plat::log("%ld - (C_POI_UPG) MergeThisNewPOI : The folder %s exists\n", tickGet(),
                  l_user_folder.GetBuffer());
        if (xcopy(l_user_folder.GetBuffer(), l_merge_folder.GetBuffer()) != OK) {
            plat::log("%ld - (C_POI_UPG) MergeThisNewPOI : copy of %s into %s failed : nothing "
                      "staged\n",
                      tickGet(), l_user_folder.GetBuffer(), l_merge_folder.GetBuffer());
            l_result = -1;
        } else if (MergeGroups(l_merge_folder, new_folder) != 0) {
            l_result = -1;
        }
    } else if (l_result == 0) {
        plat::log(g_poi_log_cannot_open, tickGet(), l_user_folder.GetBuffer(), errnoGet());
        l_result = -1;
    }

    if (l_result == 0 && mv(l_merge_folder.GetBuffer(), l_staging_folder.GetBuffer()) != OK) {
        plat::log("%ld - (C_POI_UPG) MergeThisNewPOI : mv from %s to %s failed\n", tickGet(),
                  l_merge_folder.GetBuffer(), l_staging_folder.GetBuffer());
        l_result = -1;
    }
    if (l_result != 0) {
        plat::log("%ld - (C_POI_UPG) MergeThisNewPOI : %s not staged\n", tickGet(),
                  cid.GetBuffer());
        RemoveTree(l_merge_folder.GetBuffer());
    }
    if (l_user_state == 1) {
        CKWString l_old_folder = l_user_folder + "_old";
        if (!RemoveTree(l_old_folder.GetBuffer()))
            l_result = -1;
    }
    xdelete(new_folder.GetBuffer());

    plat::log("%ld - (C_POI_UPG) <<MergeThisNewPOI - >>\n", tickGet());
    return l_result;
}

// Caller's task. Every text file of the new folder that names a PREFIX
// announces a group, merged by ManageFilesInsideMergeFolder. 0 when every
// group merged; -1 when the folder cannot be read, holds nothing, a text file
// cannot be read, or a group failed.
int C_POI_UPG::MergeGroups(CKWString &merge_folder, CKWString &new_folder) {
    int l_result = 0;
    WalkEnd l_end = WalkFolder(new_folder.GetBuffer(), [&](const char *p_name) {
        if (MergeGroupOfFile(merge_folder, new_folder, p_name) != 0)
            l_result = -1;
    });
    if (l_end == WalkEnd::NotOpened) {
        plat::log("%ld - (C_POI_UPG) : MergeThisNewPOI : Failed to open %s \n", tickGet(),
                  new_folder.GetBuffer());
        return -1;
    }
    if (l_end == WalkEnd::Empty)
        plat::log("%ld - (C_POI_UPG) : MergeThisNewPOI : No files inside %s \n", tickGet(),
                  new_folder.GetBuffer());
    return l_end == WalkEnd::Done ? l_result : -1;
}

// Caller's task. One entry p_name of the new folder: a text file that names a
// PREFIX has that group merged (ManageFilesInsideMergeFolder); any other
// entry is passed over here. 0, or -1 when the group failed or the text file
// cannot be read (it may announce a group).
int C_POI_UPG::MergeGroupOfFile(CKWString &merge_folder, CKWString &new_folder,
                                const char *p_name) {
    CKWString l_file = new_folder + "/" + p_name;
    plat::log("%ld - (C_POI_UPG) : MergeThisNewPOI : AnalyseFile %s \n", tickGet(),
              l_file.GetBuffer());
    CKWString l_name = l_file.After(l_file.FindReverse('/') + 1);
    int l_dot = l_name.FindReverse('.');
    CKWString l_extension = l_dot < 0 ? l_name : l_name.After(l_dot + 1);
    if (l_extension.Compare("txt", true) != 1)
        return 0;
    plat::log("%ld - (C_POI_UPG) : MergeThisNewPOI : The file %s is a txt file!\n", tickGet(),
              l_file.GetBuffer());
    if (GetValueInFile(l_file, CKWString("PREFIX"), m_prefix) != 0) {
        plat::log("%ld - (C_POI_UPG) MergeThisNewPOI : No PREFIX in text file : %s \n", tickGet(),
                  l_file.GetBuffer());
        return LastReadFailed() ? -1 : 0;
    }
    plat::log("%ld - (C_POI_UPG) MergeThisNewPOI : Launch of ManageFilesInsideMergeFolder "
              "with PREFIX = %s \n",
              tickGet(), m_prefix.GetBuffer());
    // A group that failed leaves the country's merge incomplete: a later
    // group's success does not hide it.
    return ManageFilesInsideMergeFolder(merge_folder, new_folder, m_prefix) == 0 ? 0 : -1;
}

// Caller's task. The update of the group is allowed by the DATE of its
// version files p_old_version (in the merge folder) and p_new_version (in the
// new folder): when the old file has no DATE, or when both have one and the
// new DATE is not smaller; it is refused when only the new file lacks a DATE.
// 1 allowed, 0 refused, -1 when a version file exists but cannot be read (a
// date never read decides nothing). Each case is logged.
int C_POI_UPG::DatesAllowUpdate(const CKWString &p_old_version, const CKWString &p_new_version) {
    CKWString l_key("DATE");
    CKWString l_old_date;
    CKWString l_new_date;
    const CKWString *l_unreadable = nullptr;
    int l_allowed = 0;
    if (GetValueInFile(p_old_version, l_key, l_old_date) != 0) {
        if (LastReadFailed()) {
            l_unreadable = &p_old_version;
        } else {
            plat::log("%ld - (C_POI_UPG) ManageFilesInsideMergeFolder : No Date in old prefix text "
                      "file : Upgrade allowed\n",
                      tickGet());
            l_allowed = 1;
        }
    } else if (GetValueInFile(p_new_version, l_key, l_new_date) != 0) {
        if (LastReadFailed())
            l_unreadable = &p_new_version;
        else
            plat::log("%ld - (C_POI_UPG) ManageFilesInsideMergeFolder : No Date in new prefix text "
                      "file : Upgrade not allowed\n",
                      tickGet());
    } else if (l_new_date.ToInt() >= l_old_date.ToInt()) {
        plat::log("%ld - (C_POI_UPG) ManageFilesInsideMergeFolder : Date of new file is higher : "
                  "Upgrade allowed\n",
                  tickGet());
        l_allowed = 1;
    } else {
        plat::log("%ld - (C_POI_UPG) ManageFilesInsideMergeFolder : Date of new file is lower : "
                  "Upgrade not allowed\n",
                  tickGet());
    }
    if (l_unreadable == nullptr)
        return l_allowed;
    plat::log("%ld - (C_POI_UPG) ManageFilesInsideMergeFolder : %s cannot be read\n", tickGet(),
              l_unreadable->GetBuffer());
    return -1;
}

// Caller's task. The dates decide whether the group may be updated
// (DatesAllowUpdate); a group whose version file cannot be read fails. A copy
// that fails makes the result that copy's for the rest of the walk.
int C_POI_UPG::ManageFilesInsideMergeFolder(CKWString merge_folder, CKWString new_folder,
                                            CKWString prefix) {
    CKWString l_old_version = merge_folder + "/poi_ver_" + prefix + ".txt";
    CKWString l_new_version = new_folder + "/poi_ver_" + prefix + ".txt";
    int l_result = 0;

    plat::log("%ld - (C_POI_UPG) <<ManageFilesInsideMergeFolder + >>\n", tickGet());
    plat::log("%ld - (C_POI_UPG) ManageFilesInsideMergeFolder : Manage file %s\n", tickGet(),
              l_old_version.GetBuffer());

    int l_allowed = DatesAllowUpdate(l_old_version, l_new_version);
    if (l_allowed < 0) {
        plat::log("%ld - (C_POI_UPG) <<ManageFilesInsideMergeFolder - >>\n", tickGet());
        return -1;
    }

    WalkEnd l_end = WalkFolder(new_folder.GetBuffer(), [&](const char *p_name) {
        CKWString l_source = new_folder + "/" + p_name;
        CKWString l_destination = merge_folder + "/" + p_name;
        if (IsPrefixFile(l_source, prefix) != 1) {
            plat::log("%ld - (C_POI_UPG) : ManageFilesInsideMergeFolder : file %s is not a %s "
                      "file : Upgrade not allowed\n",
                      tickGet(), l_source.GetBuffer(), prefix.GetBuffer());
        } else if (l_allowed == 0) {
            plat::log("%ld - (C_POI_UPG) : ManageFilesInsideMergeFolder : Update of file %s not "
                      "allowed\n",
                      tickGet(), l_source.GetBuffer());
        } else {
            plat::log("%ld - (C_POI_UPG) : ManageFilesInsideMergeFolder : Update file %s into "
                      "%s\n",
                      tickGet(), l_source.GetBuffer(), l_destination.GetBuffer());
            int l_copy = cp(l_source.GetBuffer(), l_destination.GetBuffer());
            if (l_copy != OK)
                l_result = l_copy;
        }
    });
    if (l_end == WalkEnd::NotOpened)
        plat::log("%ld - (C_POI_UPG) : ManageFilesInsideMergeFolder : Failed to open %s\n",
                  tickGet(), new_folder.GetBuffer());
    else if (l_end == WalkEnd::Empty)
        plat::log("%ld - (C_POI_UPG) : ManageFilesInsideMergeFolder : No files inside %s",
                  tickGet(), new_folder.GetBuffer());
    if (l_end != WalkEnd::Done)
        l_result = -1;

    plat::log("%ld - (C_POI_UPG) <<ManageFilesInsideMergeFolder - >>\n", tickGet());
    return l_result;
}
