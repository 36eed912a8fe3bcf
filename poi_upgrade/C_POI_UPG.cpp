// POI upgrade task and merge: the installation sequence (clean-up, version
// file, extraction, bargraph steps and pauses), the walk over the delivered
// countries, the merge of one country and the date rule of one file group.
#include "poi_upgrade/C_POI_UPG.h"

#include "builtins/C_BUILTINS.h"
#include "platform/plat_io.h"
#include "platform/vxworks.h"
#include "unit/hmi.h"
#include "unit/storage.h"

#include <atomic>

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

const char k_star_line[] = "********************************************\n";
const char k_merge_star_line[] = "\n***************************************************\n";

// Length of each pause of the installation, in ticks (500 on the unit).
std::atomic<int> g_pause_ticks{500};

// True when p_path can be opened as a directory.
bool FolderExists(const CKWString &p_path) {
    DIR *l_dir = plat::opendir(p_path.GetBuffer());
    if (l_dir == nullptr)
        return false;
    plat::closedir(l_dir);
    return true;
}

// Removes a tree with xdelete, then the folder itself should it remain.
void RemoveTree(const char *p_path) {
    xdelete(p_path);
    plat::rmdir(p_path);
}

} // namespace

C_POI_UPG::C_POI_UPG(const CKWString &poi_archive, char *bargraph_text)
    : m_poi_archive(poi_archive), m_prefix(), m_bargraph_text(bargraph_text) {}

C_POI_UPG::~C_POI_UPG() {}

void C_POI_UPG::SetPauseTicks(int p_ticks) {
    g_pause_ticks.store(p_ticks < 0 ? 0 : p_ticks, std::memory_order_relaxed);
}

int C_POI_UPG::GetPauseTicks() {
    return g_pause_ticks.load(std::memory_order_relaxed);
}

void C_POI_UPG::Pause() {
    taskDelay(GetPauseTicks());
}

void C_POI_UPG::StepBargraph(int p_percent) {
    C_MMI_UPGRADE::StepBargraph(m_bargraph_text, p_percent);
}

// Caller's task (the interpreter's). Bargraph steps of a successful run: 10,
// 45, 60, 65, 90, 75 (while the countries are read), 100.
int C_POI_UPG::UpgradeTask() {
    logMsg(k_star_line);
    logMsg("***************UpgradeTask******************\n");
    logMsg(k_star_line);
    logMsg("%ld - (C_POI_UPG) << UpgradeTask + >>", (_Vx_usr_arg_t)tickGet());

    // Leftovers of an earlier installation.
    xdelete(k_merge_folder);
    xdelete(k_tmp_poi_folder);
    xdelete(k_poi_user_temp_dot);
    xdelete(k_poi_user_temp);
    xdelete(k_staged_version);

    C_FS_STORAGE_ENTITY l_carto_dir;
    C_FS_STORAGE_CTRL_PATH::GetCartographyDir(l_carto_dir);

    StepBargraph(10);

    FILE *l_installed = plat::fopen(k_installed_version, "r");
    if (l_installed != nullptr) {
        plat::fclose(l_installed);
        xdelete(k_installed_version);
    }

    CKWString l_version_file = m_poi_archive + ".inf";
    int l_result = C_BUILTINS::BuiltinsCopy(l_version_file.GetBuffer(), k_staged_version);
    if (l_result != 0)
        return l_result;

    if (!FolderExists(CKWString(k_poi_user_folder))) {
        logMsg("%ld - (C_POI_UPG) UpgradeTask : Folder %s doesn't exist : Create it! \n",
               (_Vx_usr_arg_t)tickGet(), (_Vx_usr_arg_t)k_poi_user_folder);
        plat::mkdir(k_poi_user_folder);
    } else {
        logMsg("%ld - (C_POI_UPG) UpgradeTask : Folder %s already exists! \n",
               (_Vx_usr_arg_t)tickGet(), (_Vx_usr_arg_t)k_poi_user_folder);
    }

    Pause();

    StepBargraph(45);
    CKWString l_destination = l_carto_dir.GetName() + "MAPPE/";
    l_result = C_BUILTINS::UnCompress(m_poi_archive.GetBuffer(), l_destination.GetBuffer());
    StepBargraph(60);
    Pause();
    StepBargraph(65);

    if (l_result == 0) {
        logMsg("%ld - (C_POI_UPG) UpgradeTask : Creation of merge folder\n",
               (_Vx_usr_arg_t)tickGet());
        plat::mkdir(k_merge_folder);
        StepBargraph(90);
        l_result = ManagementOfNewPOIs();
    }

    if (l_result == 0) {
        StepBargraph(100);
        Pause();
    }
    return l_result;
}

// Caller's task. A failure of one country does not stop the walk; the result
// is that of the last country folder handled.
int C_POI_UPG::ManagementOfNewPOIs() {
    logMsg("%ld - (C_POI_UPG) <<ManagementOfNewPOIs + >>\n", (_Vx_usr_arg_t)tickGet());
    int l_result = 0;

    DIR *l_dir = plat::opendir(k_tmp_poi_folder);
    if (l_dir == nullptr) {
        logMsg("%ld - (C_POI_UPG)  ManagementOfNewPOIs  opendir (%s) is NULL !!!\n",
               (_Vx_usr_arg_t)tickGet(), (_Vx_usr_arg_t)k_tmp_poi_folder);
    } else {
        struct dirent *l_entry = plat::readdir(l_dir);
        if (l_entry == nullptr) {
            logMsg("%ld - (C_POI_UPG)  ManagementOfNewPOIs  readdir Error : Errno = 0x%X!!!\n",
                   (_Vx_usr_arg_t)tickGet(), (_Vx_usr_arg_t)errnoGet());
        } else {
            StepBargraph(75);
            for (; l_entry != nullptr; l_entry = plat::readdir(l_dir)) {
                CKWString l_name(l_entry->d_name);
                CKWString l_path = CKWString(k_tmp_poi_folder) + "/" + l_name;
                struct stat l_status;
                if (plat::stat(l_path.GetBuffer(), &l_status) != 0) {
                    logMsg("%ld - (C_POI_UPG)  ManagementOfNewPOIs  stat (%s) failed : skipped\n",
                           (_Vx_usr_arg_t)tickGet(), (_Vx_usr_arg_t)l_path.GetBuffer());
                    continue;
                }
                if (!S_ISDIR(l_status.st_mode))
                    continue;
                // "." and ".." leave the result as it is. On the unit they are
                // the first entries of a folder, before any country (the
                // result is still 0 there); the host lists entries in any
                // order, and a ".." after a failed country must not hide it.
                if (l_name.Compare(".", true) == 1 || l_name.Compare("..", true) == 1)
                    continue;
                logMsg(k_merge_star_line);
                logMsg("\n%ld - (C_POI_UPG) Merge new POI CID  %s \n", (_Vx_usr_arg_t)tickGet(),
                       (_Vx_usr_arg_t)l_name.GetBuffer());
                logMsg(k_merge_star_line);
                l_result = MergeThisNewPOI(l_name, l_path);
            }
        }
        plat::closedir(l_dir);
    }

    logMsg("%ld - (C_POI_UPG) ManagementOfNewPOIs : Remove of /SDH/MAPPE/tmp_poi folder\n",
           (_Vx_usr_arg_t)tickGet());
    RemoveTree(k_tmp_poi_folder);
    logMsg("%ld - (C_POI_UPG) ManagementOfNewPOIs : Remove of /SDH/MAPPE/MERGE folder\n",
           (_Vx_usr_arg_t)tickGet());
    RemoveTree(k_merge_folder_no_slash);

    logMsg("%ld - (C_POI_UPG) <<ManagementOfNewPOIs - >>", (_Vx_usr_arg_t)tickGet());
    return l_result;
}

// Caller's task. The merge folder is built under "/SDH/MAPPE/MERGE/" and then
// moved to the staging folder "/SDH/MAPPE/POI_USER/TEMP_" + cid; a staging
// move that fails gives -1 (nothing staged for the country). When the user's
// current files cannot be copied into the merge folder, nothing is staged for
// the country (a staging folder without them would lose them) and the result
// is -1. Once a group of the country failed, the country's result stays -1.
int C_POI_UPG::MergeThisNewPOI(CKWString &cid, CKWString &new_folder) {
    logMsg("%ld - (C_POI_UPG) <<MergeThisNewPOI + >>\n", (_Vx_usr_arg_t)tickGet());
    int l_result = 0;

    if (!FolderExists(CKWString(k_mappe_folder) + cid)) {
        logMsg("%ld - (C_POI_UPG) MergeThisNewPOI : The CID %s doesn't exist in MAPPE\n",
               (_Vx_usr_arg_t)tickGet(), (_Vx_usr_arg_t)cid.GetBuffer());
        logMsg("%ld - (C_POI_UPG) <<MergeThisNewPOI - >>\n", (_Vx_usr_arg_t)tickGet());
        return 0;
    }

    CKWString l_merge_folder = CKWString(k_merge_folder) + cid;
    logMsg("%ld - (C_POI_UPG) MergeThisNewPOI : Creation of Temp directory : %s\n",
           (_Vx_usr_arg_t)tickGet(), (_Vx_usr_arg_t)l_merge_folder.GetBuffer());
    plat::mkdir(l_merge_folder.GetBuffer());

    CKWString l_staging_folder = CKWString(k_poi_user_folder) + "/TEMP_" + cid;
    CKWString l_user_folder = CKWString(k_poi_user_folder) + "/" + cid;

    if (!FolderExists(l_user_folder)) {
        // A country without user POIs yet: the delivered files are staged.
        logMsg("%ld - (C_POI_UPG) MergeThisNewPOI : The folder %s doesn't exist\n",
               (_Vx_usr_arg_t)tickGet(), (_Vx_usr_arg_t)l_user_folder.GetBuffer());
        l_result = xcopy(new_folder.GetBuffer(), l_merge_folder.GetBuffer());
        if (mv(l_merge_folder.GetBuffer(), l_staging_folder.GetBuffer()) != OK) {
            logMsg("%ld - (C_POI_UPG) MergeThisNewPOI : mv from %s to %s failed\n",
                   (_Vx_usr_arg_t)tickGet(), (_Vx_usr_arg_t)l_merge_folder.GetBuffer(),
                   (_Vx_usr_arg_t)l_staging_folder.GetBuffer());
            l_result = -1;
        }
        logMsg("%ld - (C_POI_UPG) <<MergeThisNewPOI - >>\n", (_Vx_usr_arg_t)tickGet());
        return l_result;
    }

    logMsg("%ld - (C_POI_UPG) MergeThisNewPOI : The folder %s exists\n", (_Vx_usr_arg_t)tickGet(),
           (_Vx_usr_arg_t)l_user_folder.GetBuffer());
    bool l_user_files_copied = xcopy(l_user_folder.GetBuffer(), l_merge_folder.GetBuffer()) == OK;

    if (!l_user_files_copied) {
        logMsg("%ld - (C_POI_UPG) MergeThisNewPOI : copy of %s into %s failed : nothing staged\n",
               (_Vx_usr_arg_t)tickGet(), (_Vx_usr_arg_t)l_user_folder.GetBuffer(),
               (_Vx_usr_arg_t)l_merge_folder.GetBuffer());
        l_result = -1;
    } else {
        DIR *l_dir = plat::opendir(new_folder.GetBuffer());
        if (l_dir == nullptr) {
            l_result = -1;
            logMsg("%ld - (C_POI_UPG) : MergeThisNewPOI : Failed to open %s \n",
                   (_Vx_usr_arg_t)tickGet(), (_Vx_usr_arg_t)new_folder.GetBuffer());
        } else {
            struct dirent *l_entry = plat::readdir(l_dir);
            if (l_entry == nullptr) {
                l_result = -1;
                logMsg("%ld - (C_POI_UPG) : MergeThisNewPOI : No files inside %s \n",
                       (_Vx_usr_arg_t)tickGet(), (_Vx_usr_arg_t)new_folder.GetBuffer());
            }
            for (; l_entry != nullptr; l_entry = plat::readdir(l_dir)) {
                CKWString l_file = new_folder + "/" + l_entry->d_name;
                logMsg("%ld - (C_POI_UPG) : MergeThisNewPOI : AnalyseFile %s \n",
                       (_Vx_usr_arg_t)tickGet(), (_Vx_usr_arg_t)l_file.GetBuffer());
                CKWString l_name = l_file.After(l_file.FindReverse('/') + 1);
                int l_dot = l_name.FindReverse('.');
                CKWString l_extension = l_dot < 0 ? l_name : l_name.After(l_dot + 1);
                if (l_extension.Compare("txt", true) != 1)
                    continue;
                logMsg("%ld - (C_POI_UPG) : MergeThisNewPOI : The file %s is a txt file!\n",
                       (_Vx_usr_arg_t)tickGet(), (_Vx_usr_arg_t)l_file.GetBuffer());
                if (GetValueInFile(l_file, CKWString("PREFIX"), m_prefix) != 0) {
                    logMsg("%ld - (C_POI_UPG) MergeThisNewPOI : No PREFIX in text file : %s \n",
                           (_Vx_usr_arg_t)tickGet(), (_Vx_usr_arg_t)l_file.GetBuffer());
                    continue;
                }
                logMsg("%ld - (C_POI_UPG) MergeThisNewPOI : Launch of ManageFilesInsideMergeFolder "
                       "with PREFIX = %s \n",
                       (_Vx_usr_arg_t)tickGet(), (_Vx_usr_arg_t)m_prefix.GetBuffer());
                int l_group_result =
                    ManageFilesInsideMergeFolder(l_merge_folder, new_folder, m_prefix);
                // A group that failed leaves the country's staging folder
                // incomplete: a later group's success does not hide it.
                if (l_result == 0)
                    l_result = l_group_result;
            }
            plat::closedir(l_dir);
        }
    }

    if (l_user_files_copied) {
        if (mv(l_merge_folder.GetBuffer(), l_staging_folder.GetBuffer()) != OK) {
            logMsg("%ld - (C_POI_UPG) MergeThisNewPOI : mv from %s to %s failed\n",
                   (_Vx_usr_arg_t)tickGet(), (_Vx_usr_arg_t)l_merge_folder.GetBuffer(),
                   (_Vx_usr_arg_t)l_staging_folder.GetBuffer());
            l_result = -1;
        }
    } else {
        RemoveTree(l_merge_folder.GetBuffer());
    }
    CKWString l_old_folder = l_user_folder + "_old";
    RemoveTree(l_old_folder.GetBuffer());
    xdelete(new_folder.GetBuffer());

    logMsg("%ld - (C_POI_UPG) <<MergeThisNewPOI - >>\n", (_Vx_usr_arg_t)tickGet());
    return l_result;
}

// Caller's task. The update of the group is allowed when the installed
// version file has no DATE, or when both have one and the new DATE is not
// smaller; it is refused when only the new file lacks a DATE. A copy that
// fails makes the result -1 for the rest of the walk.
int C_POI_UPG::ManageFilesInsideMergeFolder(CKWString merge_folder, CKWString new_folder,
                                            CKWString prefix) {
    CKWString l_old_version = merge_folder + "/poi_ver_" + prefix + ".txt";
    CKWString l_new_version = new_folder + "/poi_ver_" + prefix + ".txt";
    int l_result = 0;

    logMsg("%ld - (C_POI_UPG) <<ManageFilesInsideMergeFolder + >>\n", (_Vx_usr_arg_t)tickGet());
    logMsg("%ld - (C_POI_UPG) ManageFilesInsideMergeFolder : Manage file %s\n",
           (_Vx_usr_arg_t)tickGet(), (_Vx_usr_arg_t)l_old_version.GetBuffer());

    CKWString l_key("DATE");
    CKWString l_old_date;
    CKWString l_new_date;
    bool l_allowed = false;
    if (GetValueInFile(l_old_version, l_key, l_old_date) != 0) {
        logMsg("%ld - (C_POI_UPG) ManageFilesInsideMergeFolder : No Date in old prefix text file : "
               "Upgrade allowed\n",
               (_Vx_usr_arg_t)tickGet());
        l_allowed = true;
    } else if (GetValueInFile(l_new_version, l_key, l_new_date) != 0) {
        logMsg("%ld - (C_POI_UPG) ManageFilesInsideMergeFolder : No Date in new prefix text file : "
               "Upgrade not allowed\n",
               (_Vx_usr_arg_t)tickGet());
    } else if (l_new_date.ToInt() >= l_old_date.ToInt()) {
        logMsg("%ld - (C_POI_UPG) ManageFilesInsideMergeFolder : Date of new file is higher : "
               "Upgrade allowed\n",
               (_Vx_usr_arg_t)tickGet());
        l_allowed = true;
    } else {
        logMsg("%ld - (C_POI_UPG) ManageFilesInsideMergeFolder : Date of new file is lower : "
               "Upgrade not allowed\n",
               (_Vx_usr_arg_t)tickGet());
    }

    DIR *l_dir = plat::opendir(new_folder.GetBuffer());
    if (l_dir == nullptr) {
        l_result = -1;
        logMsg("%ld - (C_POI_UPG) : ManageFilesInsideMergeFolder : Failed to open %s\n",
               (_Vx_usr_arg_t)tickGet(), (_Vx_usr_arg_t)new_folder.GetBuffer());
    } else {
        struct dirent *l_entry = plat::readdir(l_dir);
        if (l_entry == nullptr) {
            l_result = -1;
            logMsg("%ld - (C_POI_UPG) : ManageFilesInsideMergeFolder : No files inside %s",
                   (_Vx_usr_arg_t)tickGet(), (_Vx_usr_arg_t)new_folder.GetBuffer());
        }
        for (; l_entry != nullptr; l_entry = plat::readdir(l_dir)) {
            CKWString l_source = new_folder + "/" + l_entry->d_name;
            CKWString l_destination = merge_folder + "/" + l_entry->d_name;
            if (IsPrefixFile(l_source, prefix) != 1) {
                logMsg("%ld - (C_POI_UPG) : ManageFilesInsideMergeFolder : file %s is not a %s "
                       "file : Upgrade not allowed\n",
                       (_Vx_usr_arg_t)tickGet(), (_Vx_usr_arg_t)l_source.GetBuffer(),
                       (_Vx_usr_arg_t)prefix.GetBuffer());
            } else if (!l_allowed) {
                logMsg("%ld - (C_POI_UPG) : ManageFilesInsideMergeFolder : Update of file %s not "
                       "allowed\n",
                       (_Vx_usr_arg_t)tickGet(), (_Vx_usr_arg_t)l_source.GetBuffer());
            } else {
                logMsg("%ld - (C_POI_UPG) : ManageFilesInsideMergeFolder : Update file %s into "
                       "%s\n",
                       (_Vx_usr_arg_t)tickGet(), (_Vx_usr_arg_t)l_source.GetBuffer(),
                       (_Vx_usr_arg_t)l_destination.GetBuffer());
                int l_copy = cp(l_source.GetBuffer(), l_destination.GetBuffer());
                if (l_copy != OK)
                    l_result = l_copy;
            }
        }
        plat::closedir(l_dir);
    }

    logMsg("%ld - (C_POI_UPG) <<ManageFilesInsideMergeFolder - >>\n", (_Vx_usr_arg_t)tickGet());
    return l_result;
}
