/* map_upgrade.c - country-selection map upgrade.
 *
 * Installs, from the map DVD mounted as "/DVD", every country that the medium
 * offers over the maps installed on the SD card "/SDH", then the medium's POI
 * delivery, and records the upgrade in the unit's history.
 *
 * What the module decides and what this script decides:
 *   - The module (carto tree) reads the medium's descriptor files, decides the
 *     kind of upgrade and builds the list of countries worth installing: a
 *     country is offered when the medium's VERSION is higher than the installed
 *     one, or equal with a RELEASE at least equal. Countries whose installed
 *     maps are newer never reach this script.
 *   - This script decides the order of the work and what a failure means: a
 *     country whose archive fails to extract keeps no version file, so the
 *     unit sees it as not (completely) installed and the next upgrade offers
 *     it again.
 *
 * Medium layout used here (paths relative to the medium's root):
 *   DESCRI.DAT                 main descriptor: key,x,path,x,comment lines;
 *                              "POI_DOWNLOAD" names the POI delivery
 *   MAPPE/DVD_VER.NAV          marks a country-selection medium
 *   MAPPE/CURR_VERS_NAVI.TXT   one "CID:" line per country (name, quarter, year)
 *   MAPPE/<CID>/DESCRI.DAT     the country's descriptor: "CID_INFO" names its
 *                              CD_VER.NAV.INF, "MAP_ARCHIVE" its map archive
 *   MAPPE/<CID>/<CID>.tgz      the country's maps, entries "<CID>/..."
 *
 * Try it on the host:  upgsim demo            (builds a sample medium and card)
 *                      upgsim --media DIR --sd DIR run examples/map_upgrade.c
 *                      (upgsim's options go before "run": what follows the
 *                      script is the script's own arguments)
 * Exit status: 0 done; 1 a country or the POIs failed; 2 no upgrade on the
 * medium; 3 a single-country medium (not handled by this script).
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "upgrade_builtins.h"

#define MEDIA_DRIVE "/DVD"
#define PRODUCT_DRIVE "/SDH"
#define MAIN_DESCRIPTOR "DESCRI.DAT"
#define MAPS_FOLDER PRODUCT_DRIVE "/MAPPE/" /* archives extract here: entries "<CID>/..." */

/* The country table is large (11680 bytes): keep it out of main's stack. */
static t_upg_country_table g_countries;

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

/* Reads "KEY:value" from a key-and-value text file; 0 when found. */
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
            line[strcspn(line, "\r\n")] = '\0';
            snprintf(out, size, "%s", line + len + 1);
            found = 0;
        }
    }
    fclose(f);
    return found;
}

/* "7.2", or "-" for a country that is not installed. */
static const char *version_text(const char *version, const char *release, char *buf, int size)
{
    if (version[0] == '\0')
        return "-";
    snprintf(buf, size, "%s.%s", version, release);
    return buf;
}

/* Installs one country: its map archive, then its version file. The version
 * file is copied last, so that it is present only on a complete country.
 * 0 on success. */
static int install_country(const t_upg_country_record *c, int index, int count)
{
    char descri[160], archive[160], info[160], installed_info[160], text[80];
    int result;

    printf("   %s (%d of %d): %s %s.%s\n", c->cid, index + 1, count, c->country_name,
           c->new_version, c->new_release);

    snprintf(descri, sizeof descri, "%s/MAPPE/%s/DESCRI.DAT", MEDIA_DRIVE, c->cid);
    if (find_in_descriptor(descri, "MAP_ARCHIVE", archive, sizeof archive) != 0 ||
        find_in_descriptor(descri, "CID_INFO", info, sizeof info) != 0) {
        printf("   %s: no MAP_ARCHIVE or CID_INFO in %s\n", c->cid, descri);
        return -1;
    }

    /* The HMI's erase screen: which country of how many, the installed and
     * the new version, and the size (KiB) the country takes on the card. */
    ShowNavigationErasingCountryScreen(index + 1, count, atoi(c->old_version),
                                       atoi(c->new_version), (int)(c->new_size / 1024));

    /* An interrupted upgrade must not leave the old version file beside new
     * map data. */
    snprintf(installed_info, sizeof installed_info, "%s%s/CD_VER.NAV.INF", MAPS_FOLDER, c->cid);
    remove(installed_info);

    /* The bar measures the bytes the extraction writes against the country's
     * size on this card (CID_SIZE for the card's block size). */
    snprintf(text, sizeof text, "%s %s.%s", c->country_name, c->new_version, c->new_release);
    ActivateBargraph(text, c->new_size, 0);
    result = UnCompress(archive, MAPS_FOLDER);
    DeactivateBargraph();
    if (result != 0) {
        printf("   %s: extraction of %s failed\n", c->cid, archive);
        return -1;
    }

    if (UPGCopy(info, installed_info, 0) != 0) {
        printf("   %s: copy of %s failed\n", c->cid, info);
        return -1;
    }
    printf("   %s: installed in %s%s/\n", c->cid, MAPS_FOLDER, c->cid);
    return 0;
}

int main(int argc, char **argv)
{
    char version_file[UPG_PATH_BUFFER_SIZE];
    char curr_folder[UPG_PATH_BUFFER_SIZE], curr_file[UPG_PATH_BUFFER_SIZE];
    char descri_path[160], poi_archive[160], dvd_version[32], history[256];
    char old_buf[24], new_buf[24];
    int drive_length = (int)strlen(MEDIA_DRIVE);
    int descri_length = (int)strlen(MAIN_DESCRIPTOR);
    int upg_type = UPG_TYPE_NONE;
    int failures = 0, installed = 0;
    int i;

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
    if (upg_type == UPG_TYPE_SINGLE_COUNTRY) {
        printf("   single-country medium (%s): not handled by this script\n", version_file);
        return 3;
    }
    if (read_key(version_file, "VERSION", dvd_version, sizeof dvd_version) != 0)
        strcpy(dvd_version, "?");
    printf("   country selection, medium version %s (%s)\n", dvd_version, version_file);

    step("3. Current versions of the medium's countries");
    if (GetUpgDVD_CurrVersNaviFile(curr_folder, curr_file) != 0) {
        printf("   no CURR_VERS_NAVI.TXT listed in the medium's descriptor\n");
        ShowCDCanceled();
        return 2;
    }
    printf("   %s\n", curr_file);

    step("4. Countries offered");
    if (Get_DVD_CIDInfoList(&g_countries) != 0) {
        printf("   the medium's country list cannot be read\n");
        ShowCDCanceled();
        return 2;
    }
    if (g_countries.total > g_countries.count)
        printf("   the medium offers %d countries; the table holds the first %d\n",
               g_countries.total, g_countries.count);
    printf("   %-4s %-16s %-9s %-9s %s\n", "CID", "country", "installed", "medium", "size");
    for (i = 0; i < g_countries.count; i++) {
        const t_upg_country_record *c = &g_countries.records[i];
        printf("   %-4s %-16s %-9s %-9s %.1f MB  (Q%s-%s)\n", c->cid, c->country_name,
               version_text(c->old_version, c->old_release, old_buf, sizeof old_buf),
               version_text(c->new_version, c->new_release, new_buf, sizeof new_buf),
               c->new_size / 1048576.0, c->quarter, c->year);
    }
    if (g_countries.count == 0)
        printf("   none: every installed country is up to date\n");

    step("5. Installing the maps");
    snprintf(history, sizeof history, "Maps %s:", dvd_version);
    for (i = 0; i < g_countries.count; i++) {
        const t_upg_country_record *c = &g_countries.records[i];
        if (install_country(c, i, g_countries.count) == 0) {
            installed++;
            snprintf(history + strlen(history), sizeof history - strlen(history), " %s %s.%s",
                     c->cid, c->new_version, c->new_release);
        } else {
            failures++;
        }
    }

    step("6. POIs");
    snprintf(descri_path, sizeof descri_path, "%s/%s", MEDIA_DRIVE, MAIN_DESCRIPTOR);
    if (find_in_descriptor(descri_path, "POI_DOWNLOAD", poi_archive, sizeof poi_archive) != 0) {
        printf("   no POI delivery on this medium\n");
    } else {
        /* The merge stages each country's POIs in /SDH/MAPPE/POI_USER/TEMP_<CID>;
         * the unit switches them in at its next start. */
        printf("   %s\n", poi_archive);
        if (InstalPOIs(poi_archive, "POIs") == 0) {
            printf("   staged in %sPOI_USER/TEMP_<CID>\n", MAPS_FOLDER);
            snprintf(history + strlen(history), sizeof history - strlen(history), ", POIs");
        } else {
            printf("   POI installation failed\n");
            failures++;
        }
    }

    step("7. Upgrade history");
    if (installed == 0 && failures == 0)
        snprintf(history + strlen(history), sizeof history - strlen(history), " nothing new");
    AddUPGHistoryCommentary(history);
    printf("   \"%s\"\n", history);

    return failures == 0 ? 0 : 1;
}
