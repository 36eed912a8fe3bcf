// Output side of the tar parser: opening an entry's file with its missing
// parent folders (CreatePath) and writing pieces of blocks to it (cvtWrite).
// Files and folders are made through plat:: so that device names resolve and
// injected faults reach the extraction.
#include "untgz/C_UNTGZ.h"

#include "platform/plat_io.h"

FILE *C_UNTGZ::CreatePath(char *p_name) {
    if (p_name == nullptr) {
        logMsg("%ld - (CreatePath): NULL == p_name\n", (_Vx_usr_arg_t)tickGet());
        return nullptr;
    }
    FILE *l_file = plat::fopen(p_name, "wb");
    if (l_file != nullptr)
        return l_file;

    // Create every folder on the way, from the root down; a folder that
    // exists already simply fails to be created.
    for (char *l_p = p_name; *l_p != '\0'; l_p++) {
        if (*l_p != '/')
            continue;
        *l_p = '\0';
        plat::mkdir(p_name);
        *l_p = '/';
    }

    l_file = plat::fopen(p_name, "wb");
    if (l_file == nullptr)
        logMsg("%ld - (CreatePath): fopen (%s) : ERROR (errno = 0x%X)\n", (_Vx_usr_arg_t)tickGet(),
               (_Vx_usr_arg_t)p_name, (_Vx_usr_arg_t)errnoGet());
    return l_file;
}

int C_UNTGZ::cvtWrite(unsigned char *p_blk, unsigned long size, FILE *p_fp) {
    if (p_blk == nullptr || p_fp == nullptr) {
        logMsg("%ld - (cvtwrite): (0x%X == p_blk) || (0x%X == p_fp)\n", (_Vx_usr_arg_t)tickGet(),
               (_Vx_usr_arg_t)p_blk, (_Vx_usr_arg_t)p_fp);
        return 0;
    }
    return (int)plat::fwrite(p_blk, size, 1, p_fp);
}
