/*
 * orv-root-wrapper's line reader and parsers, and its environment builder.
 * The input is read as an allow-list, one line at a time, as a table of
 * resource limits, and its lines are then the caller's environment.  The properties the wrapper relies on are
 * checked, and a violation aborts.
 */
#define _GNU_SOURCE
#include "wrapper.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

static void check_lines(const uint8_t *data, size_t size)
{
    char line[LINE_BUF_SIZE];
    FILE *f = fmemopen((void *)data, size, "r");
    enum line_status status;

    if (f == NULL)
        return; /* an empty buffer */
    while ((status = read_line(f, line, LINE_READ_MAX)) != LINE_EOF && status != LINE_ERROR) {
        struct cmd_entry e = { 0 };
        char copy[LINE_BUF_SIZE];
        char *save = NULL;
        const char *user;

        if (strlen(line) > LINE_TEXT_MAX)
            abort();
        strcpy(copy, line);
        if (status != LINE_OK || parse_line(line, &e) != PARSE_ENTRY)
            continue;
        if (e.name[0] == '\0' || e.path[0] != '/' || e.uid < 0 || (e.has_uid == 0 && e.uid != 0))
            abort();
        /* Only "-" runs as the caller; a uid comes from digits alone. */
        strtok_r(copy, " \t\n", &save);
        strtok_r(NULL, " \t\n", &save);
        user = strtok_r(NULL, " \t\n", &save);
        if (e.has_uid ? user[strspn(user, "0123456789")] != '\0' : strcmp(user, "-") != 0)
            abort();
    }
    fclose(f);
}

/* A table that reads gives limits setrlimit takes. */
static void check_limits(const uint8_t *data, size_t size)
{
    struct rlimit limits[RLIM_NLIMITS];
    FILE *f = fmemopen((void *)data, size, "r");
    int resource;

    if (f == NULL)
        return;
    if (read_limits(f, limits) == 0) {
        for (resource = 0; resource < RLIM_NLIMITS; resource++) {
            if (limits[resource].rlim_cur > limits[resource].rlim_max)
                abort();
        }
    }
    fclose(f);
}

/* No value of the caller's that reaches another user holds a '/'. */
static void check_env(const uint8_t *data, size_t size)
{
    static char name[] = "svc", dir[] = "/srv/svc", shell[] = "/bin/sh", password[] = "x";
    static const struct passwd pw = { name, password, 1234, 1234, name, dir, shell };
    char *text = malloc(size + 1);
    char **caller = calloc(size + 2, sizeof *caller);
    char **env;
    size_t n = 0;
    size_t i;

    if (text == NULL || caller == NULL)
        abort();
    memcpy(text, data, size);
    text[size] = '\0';
    for (char *p = text, *end; p != NULL; p = end) {
        end = strchr(p, '\n');
        if (end != NULL)
            *end++ = '\0';
        caller[n++] = p;
    }
    env = build_env(caller, &pw);
    if (env == NULL)
        abort();
    /* PATH, HOME, SHELL, USER and LOGNAME come first, made by the wrapper. */
    for (i = 0; env[i] != NULL; i++) {
        uintptr_t at = (uintptr_t)env[i];
        int from_caller = at >= (uintptr_t)text && at <= (uintptr_t)text + size;

        if (i < 5 ? from_caller : !from_caller || !env_keeps(env[i])
                         || strchr(strchr(env[i], '=') + 1, '/') != NULL)
            abort();
    }
    if (strcmp(env[0], "PATH=" SAFE_PATH) != 0)
        abort();
    free(env);
    free(caller);
    free(text);
}

int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    check_lines(data, size);
    check_limits(data, size);
    check_env(data, size);
    return 0;
}
