#define _POSIX_C_SOURCE 200809L
#include "wrapper.h"

#include <string.h>

static const char *owner_problem(const struct stat *st, uid_t owner)
{
    if (st->st_uid != 0 && st->st_uid != owner)
        return owner == 0 ? "is not owned by root" : "is owned by neither root nor the target user";
    /* Sticky world-writable directories such as /tmp fail here too: anyone
     * may add a name to them. */
    if ((st->st_mode & (S_IWGRP | S_IWOTH)) != 0)
        return "is writable by group or others";
    return NULL;
}

const char *conf_file_problem(const struct stat *st)
{
    if (!S_ISREG(st->st_mode))
        return "is not a regular file";
    return owner_problem(st, 0);
}

const char *tree_problem(const char *path, uid_t owner, struct stat *file, char *where)
{
    struct stat st;
    const char *problem;
    char *slash;

    strcpy(where, path);
    if (lstat(where, file) != 0)
        return "cannot be examined";
    problem = owner_problem(file, owner);
    /* lstat: a symbolic link that appeared since path was resolved fails as
     * writable by others (its mode is 0777). */
    while (problem == NULL && strcmp(where, "/") != 0) {
        slash = strrchr(where, '/');
        if (slash == NULL)
            return "is not an absolute path";
        if (slash == where)
            slash[1] = '\0'; /* up to the root directory itself */
        else
            *slash = '\0';
        if (lstat(where, &st) != 0)
            return "cannot be examined";
        problem = owner_problem(&st, owner);
    }
    return problem;
}
