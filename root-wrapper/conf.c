#define _POSIX_C_SOURCE 200809L
#include "wrapper.h"

#include <limits.h>
#include <string.h>

enum line_status read_line(FILE *f, char *buf, size_t limit)
{
    size_t len = 0;
    int c = EOF;
    int too_long = 0;
    int has_nul = 0;

    while ((c = getc(f)) != EOF && c != '\n') {
        if (c == '\0')
            has_nul = 1;
        if (len + 1 < limit)
            buf[len++] = (char)c;
        else
            too_long = 1;
    }
    buf[len] = '\0';
    if (ferror(f))
        return LINE_ERROR;
    if (c == EOF && len == 0 && !too_long)
        return LINE_EOF;
    /* A truncated line could name a shorter path or a smaller uid than the
     * administrator wrote, so the caller must drop it whole. */
    if (too_long)
        return LINE_TOO_LONG;
    return has_nul ? LINE_HAS_NUL : LINE_OK;
}

enum parse_result parse_line(char *line, struct cmd_entry *e)
{
    static const char blanks[] = " \t\n";
    char *save = NULL;
    char *name;
    char *path;
    char *user;
    long uid = 0;
    const char *p;

    /* The name must start in the first column; strchr also matches the
     * terminating NUL, so an empty line ends here too. */
    if (line[0] == '#' || strchr(blanks, line[0]) != NULL)
        return PARSE_NONE;
    name = strtok_r(line, blanks, &save);
    path = strtok_r(NULL, blanks, &save);
    user = strtok_r(NULL, blanks, &save);
    if (name == NULL || path == NULL || user == NULL)
        return PARSE_NONE;
    /* A relative path would be found from the caller's working directory. */
    if (path[0] != '/')
        return PARSE_RELATIVE;

    e->name = name;
    e->path = path;
    e->has_uid = 0;
    e->uid = 0;
    if (strcmp(user, "-") == 0)
        return PARSE_ENTRY; /* run as the caller */
    /* A word such as "root" or "-1" would have run as the caller without a
     * word of warning, which is never what its author meant. */
    if (user[0] < '0' || user[0] > '9')
        return PARSE_NOT_USER;

    /* Digits only, and bounded: a value that wrapped around could come out
     * as 0, and "0x3e8" must not read as 0. */
    for (p = user; *p != '\0'; p++) {
        if (*p < '0' || *p > '9')
            return PARSE_NOT_NUMBER;
        uid = uid * 10 + (*p - '0');
        if (uid > INT_MAX)
            return PARSE_BAD_UID;
    }
    e->has_uid = 1;
    e->uid = (int)uid;
    return PARSE_ENTRY;
}

const char *parse_problem(enum parse_result result)
{
    switch (result) {
    case PARSE_BAD_UID:
        return "names a user id out of range";
    case PARSE_NOT_NUMBER:
        return "names a user id that is not a plain decimal number";
    case PARSE_NOT_USER:
        return "names a user that is neither - nor a user id";
    case PARSE_RELATIVE:
        return "names a relative path";
    default:
        return NULL;
    }
}

const char *base_name(const char *command)
{
    const char *slash = strrchr(command, '/');

    return slash != NULL ? slash + 1 : command;
}

const struct cmd_entry *find_cmd(const struct cmd_entry *cmds, size_t count,
                                 const char *command)
{
    const char *base = base_name(command);
    size_t i;

    for (i = 0; i < count && cmds[i].name != NULL; i++) {
        if (strcmp(base, cmds[i].name) == 0 || strcmp(command, cmds[i].path) == 0)
            return &cmds[i];
    }
    return NULL;
}
