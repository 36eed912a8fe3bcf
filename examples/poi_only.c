/* poi_only.c - POI-only upgrade.
 *
 * Installs a delivery of new points of interest without touching the maps:
 * the archive named on the command line, or else the one the medium's main
 * descriptor lists under the key "POI_DOWNLOAD". The archive's version file is
 * the archive's path with ".inf" appended.
 *
 * The merge (module) keeps, per country and per file group, the user's files
 * unless the delivered group's DATE is not older, and leaves the result in
 * /SDH/MAPPE/POI_USER/TEMP_<CID>; countries without an installed map are
 * skipped.
 *
 * Try it:  upgsim --media DIR --sd DIR run examples/poi_only.c [ARCHIVE]
 * Exit status: 0 done; 1 the installation failed; 2 no POI delivery found.
 */
#include <stdio.h>
#include <string.h>

#include "upgrade_builtins.h"

#define MAIN_DESCRIPTOR "/DVD/DESCRI.DAT"

/* The medium path of the file listed under `key` in the main descriptor;
 * 0 when found. */
static int find_poi_delivery(const char *key, char *out, int size)
{
    char line[256];
    int found = -1;
    FILE *f = fopen(MAIN_DESCRIPTOR, "r");

    if (f == NULL)
        return -1;
    while (found != 0 && fgets(line, sizeof line, f) != NULL) {
        char *fields[5];
        int n = 0;
        char *p = line;

        fields[n++] = p;
        while (n < 5 && (p = strchr(p, ',')) != NULL) {
            *p++ = '\0';
            fields[n++] = p;
        }
        if (n >= 4 && strcmp(fields[0], key) == 0) {
            for (p = fields[2]; *p != '\0'; p++)
                if (*p == '\\')
                    *p = '/';
            snprintf(out, size, "/DVD/%s", fields[2]);
            found = 0;
        }
    }
    fclose(f);
    return found;
}

int main(int argc, char **argv)
{
    char archive[256];
    char comment[300];
    int result;

    if (argc > 1)
        snprintf(archive, sizeof archive, "%s", argv[1]);
    else if (find_poi_delivery("POI_DOWNLOAD", archive, sizeof archive) != 0) {
        printf("no POI delivery: give the archive, or list it as POI_DOWNLOAD in %s\n",
               MAIN_DESCRIPTOR);
        return 2;
    }

    printf("installing POIs from %s\n", archive);
    result = InstalPOIs(archive, "POIs");
    if (result != 0) {
        printf("POI installation failed (%d)\n", result);
        ShowCDCanceled();
        return 1;
    }
    snprintf(comment, sizeof comment, "POIs %s", archive);
    AddUPGHistoryCommentary(comment);
    printf("staged in /SDH/MAPPE/POI_USER/TEMP_<CID>\n");
    return 0;
}
