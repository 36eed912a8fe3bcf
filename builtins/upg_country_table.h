/* Country table of the upgrade scripts: the layout of the 11680-byte table
 * whose address a script passes to the builtin "Get_DVD_CIDInfoList". The
 * builtin clears the whole table, then writes one record per country the
 * medium offers, in the order the medium lists them, up to UPG_COUNTRY_MAX
 * records; `total` tells how many countries the medium offers, so a script
 * can tell a full table from a complete one.
 *
 * Every text field holds its text cut to the field's size minus one and
 * NUL-terminated. Sizes are the size values of the country information files
 * as 32-bit unsigned numbers.
 *
 * Plain C, included by the scripts (and by the module). */
#ifndef UPG_COUNTRY_TABLE_H
#define UPG_COUNTRY_TABLE_H

#define UPG_COUNTRY_TABLE_SIZE 11680 /* bytes of the whole table */
#define UPG_COUNTRY_MAX 69           /* records the table holds */

#define UPG_CID_LEN 16
#define UPG_COUNTRY_NAME_LEN 64
#define UPG_QUARTER_LEN 8
#define UPG_YEAR_LEN 8
#define UPG_VERSION_LEN 16
#define UPG_RELEASE_LEN 16

#define UPG_COUNTRY_RECORD_SIZE 168 /* bytes of one record, no padding */

/* One country offered by the medium. */
typedef struct {
    char cid[UPG_CID_LEN];                   /* country code ("CID") */
    char country_name[UPG_COUNTRY_NAME_LEN]; /* name from the current-version file */
    char quarter[UPG_QUARTER_LEN];           /* quarter of the map data */
    char year[UPG_YEAR_LEN];                 /* year of the map data */
    char new_version[UPG_VERSION_LEN];       /* "VERSION" on the medium */
    char new_release[UPG_RELEASE_LEN];       /* "RELEASE" on the medium */
    char old_version[UPG_VERSION_LEN];       /* "VERSION" installed; empty when none */
    char old_release[UPG_RELEASE_LEN];       /* "RELEASE" installed; empty when none */
    unsigned int new_size;                   /* size value on the medium */
    unsigned int old_size;                   /* installed size value; 0 when none */
} t_upg_country_record;

/* The whole table: exactly UPG_COUNTRY_TABLE_SIZE bytes. */
typedef struct {
    int count; /* records written below, 0 to UPG_COUNTRY_MAX */
    int total; /* countries the medium offers (above count when the table is full) */
    t_upg_country_record records[UPG_COUNTRY_MAX];
    char reserved[UPG_COUNTRY_TABLE_SIZE - 2 * 4 - UPG_COUNTRY_MAX * UPG_COUNTRY_RECORD_SIZE];
} t_upg_country_table;

#endif
