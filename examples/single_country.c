/* single_country.c - single-country (CD) map upgrade.
 *
 * Installs, from the map CD mounted as "/DVD", its one country over the maps
 * installed on the SD card "/SDH" when the CD's version is newer, then the
 * CD's POI delivery, and records the upgrade in the unit's history.
 *
 * What the module decides and what this script decides:
 *   - The module (carto tree) reads the main descriptor and finds the CD's
 *     version file (a name beginning with "CD_VER.NAV"): the medium is then
 *     a single-country one. It builds no country list for such a medium.
 *   - This script finds the country itself: the version file lies in the
 *     country's folder, whose DESCRI.DAT names the country's CD_VER.NAV.INF
 *     and map archive. It installs the country when the CD's VERSION is
 *     higher than the installed one, or equal with a RELEASE at least equal
 *     (the rule the module applies on a DVD).
 *
 * Medium layout used here (paths relative to the medium's root):
 *   DESCRI.DAT                 main descriptor: "DB_DOWNLOAD_NAV" names the
 *                              version file; "POI_DOWNLOAD" the POI delivery
 *   MAPPE/<CID>/CD_VER.NAV     marks a single-country medium
 *   MAPPE/<CID>/DESCRI.DAT     the country's descriptor: "CID_INFO" names its
 *                              CD_VER.NAV.INF, "MAP_ARCHIVE" its map archive
 *   MAPPE/<CID>/<CID>.tgz      the country's maps, entries "<CID>/..."
 *
 * Try it on the host:  upgsim --media DIR --sd DIR run examples/single_country.c
 * Exit status: 0 done (or the card is up to date); 1 the country or the POIs
 * failed; 2 no upgrade on the medium; 3 a country-selection medium (use
 * map_upgrade.c).
 */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "upgrade_builtins.h"

#define MEDIA_DRIVE "/DVD"
#define PRODUCT_DRIVE "/SDH"
#define MAIN_DESCRIPTOR "DESCRI.DAT"
#define MAPS_FOLDER PRODUCT_DRIVE "/MAPPE/" /* archives extract here: entries "<CID>/..." */

static void step(const char *text) { printf("\n== %s\n", text); }

/* Looks in the descriptor file `descri` for the first line whose key (first
 * field) is `key` and writes the medium path of the file it names (third
 * field, relative to the medium's root; backslashes allowed) into `out`.
 * 0 when found, -1 otherwise. */
static int find_in_descriptor(const char *descri, const char *key, char *out, int size)
{
    char line[256];
    int found = -1;
    FILE *f = fopen(descri, "r");

    if (f == NULL)
        return -1;
    while (found != 0 && fgets(line, sizeof line, f) != NULL) {
        char *first_comma = strchr(line, ',');
        char *second_comma, *third_comma, *p;

        if (first_comma == NULL)
            continue;
        *first_comma = '\0';
        if (strcmp(line, key) != 0)
            continue;
        second_comma = strchr(first_comma + 1, ',');
        third_comma = second_comma != NULL ? strchr(second_comma + 1, ',') : NULL;
        if (third_comma == NULL)
            continue;
        *third_comma = '\0';
        for (p = second_comma + 1; *p != '\0'; p++)
            if (*p == '\\')
                *p = '/';
        snprintf(out, size, "%s/%s", MEDIA_DRIVE, second_comma + 1);
        found = 0;
    }
    fclose(f);
    return found;
}

/* Reads "KEY:value" from a key-and-value text file, the value up to the
 * first space, CR or LF as the module reads it; 0 when found. */
static int read_key(const char *path, const char *key, char *out, int size)
{
    char line[128];
    size_t len = strlen(key);
    int found = -1;
    FILE *f = fopen(path, "r");

    if (f == NULL)
        return -1;
    while (found != 0 && fgets(line, sizeof line, f) != NULL) {
        if (strncmp(line, key, len) == 0 && line[len] == ':') {
            line[len + 1 + strcspn(line + len + 1, " \r\n")] = '\0';
            snprintf(out, size, "%s", line + len + 1);
            found = 0;
        }
    }
    fclose(f);
    return found;
}

/* The number `text` holds: decimal digits only, below 2^31. 0 and the value
 * in *value, or -1 for anything else (an empty text, a sign, a letter). */
static int to_number(const char *text, long *value)
{
    char *end = NULL;
    long v;

    if (text[0] < '0' || text[0] > '9')
        return -1;
    errno = 0;
    v = strtol(text, &end, 10);
    if (errno != 0 || *end != '\0')
        return -1;
    *value = v;
    return 0;
}

/* The key `key` of `path` as a number; 0, or -1 (said) when the key is
 * missing or is not a number. */
static int read_number(const char *path, const char *key, long *value)
{
    char text[64];

    if (read_key(path, key, text, sizeof text) != 0) {
        printf("   %s: no %s\n", path, key);
        return -1;
    }
    if (to_number(text, value) != 0) {
        printf("   %s: %s '%s' is not a number\n", path, key, text);
        return -1;
    }
    return 0;
}

/* The room the country takes on this card, in bytes: CID_SIZE_<KiB> for the
 * card's block size (4, 8, 16 or 32 KiB), else CID_SIZE; 0 when unknown. */
static unsigned long country_size(const char *info)
{
    char key[32];
    long size = 0;
    int block = GetSDBlockSize();

    snprintf(key, sizeof key, "CID_SIZE_%d", block / 1024);
    if ((block == 4096 || block == 8192 || block == 16384 || block == 32768) &&
        read_number(info, key, &size) == 0)
        return (unsigned long)size;
    if (read_number(info, "CID_SIZE", &size) == 0)
        return (unsigned long)size;
    return 0;
}

int main(int argc, char **argv)
{
    char version_file[UPG_PATH_BUFFER_SIZE];
    char folder[160], descri[160], archive[160], info[160], installed_info[160];
    char cid[16], descri_path[160], poi_archive[160], history[256], text[80];
    long new_version = 0, new_release = 0, old_version = 0, old_release = 0;
    unsigned long size;
    int drive_length = (int)strlen(MEDIA_DRIVE);
    int descri_length = (int)strlen(MAIN_DESCRIPTOR);
    int upg_type = UPG_TYPE_NONE;
    int failures = 0, installed = 0;
    char *slash;

    (void)argc;
    (void)argv;

    step("1. Medium " MEDIA_DRIVE ", maps on " PRODUCT_DRIVE);
    if (UpdateDataForCartoTree(MEDIA_DRIVE, PRODUCT_DRIVE, &drive_length) != 0) {
        printf("   the carto tree is not available\n");
        return 1;
    }

    step("2. Kind of upgrade");
    GetNavUpgType(MAIN_DESCRIPTOR, &descri_length, version_file, &upg_type);
    if (upg_type == UPG_TYPE_NONE) {
        printf("   no map upgrade on this medium\n");
        ShowCDCanceled();
        return 2;
    }
    if (upg_type == UPG_TYPE_COUNTRY_SELECTION) {
        printf("   country-selection medium (%s): use map_upgrade.c\n", version_file);
        return 3;
    }
    printf("   single country (%s)\n", version_file);

    step("3. The country");
    /* The version file lies in the country's folder. */
    snprintf(folder, sizeof folder, "%s", version_file);
    slash = strrchr(folder, '/');
    if (slash == NULL) {
        printf("   the version file %s lies in no folder\n", version_file);
        ShowCDCanceled();
        return 2;
    }
    *slash = '\0';
    snprintf(descri, sizeof descri, "%s/DESCRI.DAT", folder);
    if (find_in_descriptor(descri, "CID_INFO", info, sizeof info) != 0 ||
        find_in_descriptor(descri, "MAP_ARCHIVE", archive, sizeof archive) != 0) {
        printf("   no MAP_ARCHIVE or CID_INFO in %s\n", descri);
        ShowCDCanceled();
        return 1;
    }
    if (read_key(info, "CID", cid, sizeof cid) != 0 || strlen(cid) != 3) {
        printf("   %s: no three-letter CID\n", info);
        ShowCDCanceled();
        return 1;
    }
    if (read_number(info, "VERSION", &new_version) != 0 ||
        read_number(info, "RELEASE", &new_release) != 0) {
        ShowCDCanceled();
        return 1;
    }
    snprintf(installed_info, sizeof installed_info, "%s%s/CD_VER.NAV.INF", MAPS_FOLDER, cid);
    /* A country not installed counts as version 0, release 0; an installed
     * version file that cannot be read as numbers counts the same, so that
     * the CD repairs it. */
    if (read_number(installed_info, "VERSION", &old_version) != 0 ||
        read_number(installed_info, "RELEASE", &old_release) != 0)
        old_version = old_release = 0;
    printf("   %s: installed %ld.%ld, medium %ld.%ld\n", cid, old_version, old_release,
           new_version, new_release);

    step("4. Installing the maps");
    snprintf(history, sizeof history, "Maps %s %ld.%ld:", cid, new_version, new_release);
    if (new_version < old_version || (new_version == old_version && new_release < old_release)) {
        printf("   the card's maps are newer: nothing to install\n");
    } else {
        size = country_size(info);
        ShowNavigationErasingCountryScreen(1, 1, (int)old_version, (int)new_version,
                                           (int)(size / 1024));
        /* An interrupted upgrade must not leave the old version file beside
         * new map data. */
        snprintf(text, sizeof text, "%s %ld.%ld", cid, new_version, new_release);
        if (remove(installed_info) != 0 && errno != ENOENT) {
            printf("   %s: the old version file %s cannot be removed: not installed\n", cid,
                   installed_info);
            failures++;
        } else {
            ActivateBargraph(text, size, 0);
            if (UnCompress(archive, MAPS_FOLDER) != 0) {
                DeactivateBargraph();
                printf("   %s: extraction of %s failed\n", cid, archive);
                failures++;
            } else {
                DeactivateBargraph();
                /* The version file last: present only on a complete country. */
                if (UPGCopy(info, installed_info, 0) != 0) {
                    printf("   %s: copy of %s failed\n", cid, info);
                    failures++;
                } else {
                    printf("   %s: installed in %s%s/\n", cid, MAPS_FOLDER, cid);
                    installed++;
                    snprintf(history + strlen(history), sizeof history - strlen(history),
                             " installed");
                }
            }
        }
    }

    step("5. POIs");
    snprintf(descri_path, sizeof descri_path, "%s/%s", MEDIA_DRIVE, MAIN_DESCRIPTOR);
    if (find_in_descriptor(descri_path, "POI_DOWNLOAD", poi_archive, sizeof poi_archive) != 0) {
        printf("   no POI delivery on this medium\n");
    } else {
        printf("   %s\n", poi_archive);
        if (InstalPOIs(poi_archive, "POIs") == 0) {
            printf("   staged in %sPOI_USER/TEMP_%s\n", MAPS_FOLDER, cid);
            snprintf(history + strlen(history), sizeof history - strlen(history), ", POIs");
        } else {
            printf("   POI installation failed\n");
            failures++;
        }
    }

    step("6. Upgrade history");
    if (installed == 0 && failures == 0)
        snprintf(history + strlen(history), sizeof history - strlen(history), " nothing new");
    AddUPGHistoryCommentary(history);
    printf("   \"%s\"\n", history);

    return failures == 0 ? 0 : 1;
}
