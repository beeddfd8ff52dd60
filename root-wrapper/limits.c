#define _GNU_SOURCE
#include "wrapper.h"

#include <errno.h>
#include <string.h>

/* The names and units the kernel gives the lines of /proc/PID/limits. */
static const struct {
    const char *name;
    const char *unit; /* NULL: the line has none */
} limit_lines[RLIM_NLIMITS] = {
    [RLIMIT_CPU] = { "Max cpu time", "seconds" },
    [RLIMIT_FSIZE] = { "Max file size", "bytes" },
    [RLIMIT_DATA] = { "Max data size", "bytes" },
    [RLIMIT_STACK] = { "Max stack size", "bytes" },
    [RLIMIT_CORE] = { "Max core file size", "bytes" },
    [RLIMIT_RSS] = { "Max resident set", "bytes" },
    [RLIMIT_NPROC] = { "Max processes", "processes" },
    [RLIMIT_NOFILE] = { "Max open files", "files" },
    [RLIMIT_MEMLOCK] = { "Max locked memory", "bytes" },
    [RLIMIT_AS] = { "Max address space", "bytes" },
    [RLIMIT_LOCKS] = { "Max file locks", "locks" },
    [RLIMIT_SIGPENDING] = { "Max pending signals", "signals" },
    [RLIMIT_MSGQUEUE] = { "Max msgqueue size", "bytes" },
    [RLIMIT_NICE] = { "Max nice priority", NULL },
    [RLIMIT_RTPRIO] = { "Max realtime priority", NULL },
    [RLIMIT_RTTIME] = { "Max realtime timeout", "us" },
};

static const char fields[] = " ";

/* "unlimited", or a decimal number below RLIM_INFINITY without leading
 * zeros, as the kernel writes them. */
static int parse_value(const char *text, rlim_t *value)
{
    rlim_t v = 0;
    const char *p;

    if (strcmp(text, "unlimited") == 0) {
        *value = RLIM_INFINITY;
        return 0;
    }
    if (text[0] == '\0' || (text[0] == '0' && text[1] != '\0'))
        return -1;
    for (p = text; *p != '\0'; p++) {
        rlim_t digit = (rlim_t)(*p - '0');

        if (*p < '0' || *p > '9' || v > (RLIM_INFINITY - 1 - digit) / 10)
            return -1;
        v = v * 10 + digit;
    }
    *value = v;
    return 0;
}

static int parse_header(char *line)
{
    static const char *const words[] = { "Limit", "Soft", "Limit", "Hard", "Limit", "Units", NULL };
    char *save = NULL;
    char *word = strtok_r(line, fields, &save);
    size_t i;

    for (i = 0; words[i] != NULL; i++, word = strtok_r(NULL, fields, &save)) {
        if (word == NULL || strcmp(word, words[i]) != 0)
            return -1;
    }
    return word == NULL ? 0 : -1;
}

/* The name, soft and hard limit and unit of resource, separated by spaces. */
static int parse_limit(char *line, int resource, struct rlimit *limit)
{
    const char *unit = limit_lines[resource].unit;
    size_t len = strlen(limit_lines[resource].name);
    char *save = NULL;
    char *soft;
    char *hard;
    char *rest;

    if (strncmp(line, limit_lines[resource].name, len) != 0 || line[len] != ' ')
        return -1;
    soft = strtok_r(line + len, fields, &save);
    hard = strtok_r(NULL, fields, &save);
    rest = strtok_r(NULL, fields, &save);
    if (soft == NULL || hard == NULL || parse_value(soft, &limit->rlim_cur) != 0
        || parse_value(hard, &limit->rlim_max) != 0 || limit->rlim_cur > limit->rlim_max)
        return -1;
    if (unit == NULL ? rest != NULL : rest == NULL || strcmp(rest, unit) != 0)
        return -1;
    return strtok_r(NULL, fields, &save) == NULL ? 0 : -1;
}

static int bad_table(FILE *f)
{
    if (!ferror(f))
        errno = EBADMSG;
    return -1;
}

int read_limits(FILE *f, struct rlimit *limits)
{
    char line[LINE_BUF_SIZE];
    int resource;

    if (read_line(f, line, LINE_READ_MAX) != LINE_OK || parse_header(line) != 0)
        return bad_table(f);
    for (resource = 0; resource < RLIM_NLIMITS; resource++) {
        if (read_line(f, line, LINE_READ_MAX) != LINE_OK
            || parse_limit(line, resource, &limits[resource]) != 0)
            return bad_table(f);
    }
    /* A line more would be a limit the wrapper could not set. */
    if (read_line(f, line, LINE_READ_MAX) != LINE_EOF)
        return bad_table(f);
    return 0;
}
