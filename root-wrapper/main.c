/*
 * orv-root-wrapper COMMAND [ARG ...]
 *
 * Runs one command of the allow-list CONF_PATH under the user id the list
 * names for it, with the caller's remaining arguments.  Installed set-user-ID
 * root.  Every failure ends the process at once with its status: 127 for no
 * or a disallowed command, 1 for an unusable configuration, 253 for a failed
 * identity change or allocation, 255 when the program cannot be executed.
 */
#define _GNU_SOURCE
#include "wrapper.h"

#include <errno.h>
#include <grp.h>
#include <pwd.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

extern char **environ;

static struct cmd_entry cmds[CMDS_MAX];
static size_t count;

static void die(const char *what, int status)
{
    perror(what);
    exit(status);
}

static void warn_line(unsigned lineno, const char *why)
{
    fprintf(stderr, "WARNING: %s line %u %s; line ignored.\n", CONF_PATH, lineno, why);
}

static char *dup_or_die(const char *s, const char *what)
{
    char *copy = strdup(s);

    if (copy == NULL)
        die(what, 253);
    return copy;
}

static void load_cmds(void)
{
    char line[LINE_BUF_SIZE];
    struct stat st;
    const char *problem;
    unsigned lineno = 0;
    enum line_status status;
    FILE *f = fopen(CONF_PATH, "re");

    if (f == NULL)
        die(CONF_PATH, 1);
    /* Checked on the descriptor we read from, not on the name. */
    if (fstat(fileno(f), &st) != 0)
        die(CONF_PATH, 1);
    problem = conf_file_problem(&st);
    if (problem != NULL) {
        fprintf(stderr, "ERROR: %s %s; refusing to run.\n", CONF_PATH, problem);
        exit(1);
    }

    while ((status = read_line(f, line, LINE_READ_MAX)) != LINE_EOF) {
        struct cmd_entry e = { 0 };
        enum parse_result parsed;

        lineno++;
        /* A read error could hide any later line; run nothing rather than
         * work from part of the list. */
        if (status == LINE_ERROR)
            die(CONF_PATH, 1);
        if (line[0] == '#')
            continue;
        if (status == LINE_TOO_LONG) {
            warn_line(lineno, "is longer than 1022 bytes");
            continue;
        }
        if (status == LINE_HAS_NUL) {
            warn_line(lineno, "holds a NUL byte");
            continue;
        }
        parsed = parse_line(line, &e);
        if (parsed == PARSE_BAD_UID)
            warn_line(lineno, "names a user id out of range");
        if (parsed != PARSE_ENTRY)
            continue;
        if (count == CMDS_MAX) {
            fprintf(stderr, "WARNING: %s holds more than %d commands; line %u and those after it are ignored.\n",
                    CONF_PATH, CMDS_MAX, lineno);
            break;
        }
        e.name = dup_or_die(e.name, "strdup");
        e.path = dup_or_die(e.path, "strdup");
        cmds[count++] = e;
    }
    fclose(f);
}

/* Returns only when execv fails. */
static void run(const struct cmd_entry *e, int argc, char **argv)
{
    uid_t caller = getuid();
    uid_t uid = e->has_uid ? (uid_t)e->uid : caller;
    gid_t gid;
    cap_t caps = NULL;
    const char *failed;
    struct passwd *pw;
    char **args;
    int i;

    if (e->has_caps && (failed = caps_keep(e->caps, &caps)) != NULL)
        die(failed, 253);

    /* A uid without an entry is no error to getpwuid: errno may stay 0. */
    errno = 0;
    pw = getpwuid(uid);
    if (pw == NULL) {
        if (errno == 0)
            errno = ENOENT;
        die("getpwuid", 253);
    }
    uid = pw->pw_uid;
    gid = pw->pw_gid;

    if (uid != caller && setgroups(0, NULL) != 0)
        die("setgroups", 253);
    if (setresgid(gid, gid, gid) != 0)
        die("setresgid", 253);
    if (setresuid(uid, uid, uid) != 0)
        die("setresuid", 253);
    if (caps != NULL && (failed = caps_reapply(e->caps, caps)) != NULL)
        die(failed, 253);

    /* The path, ARG ..., and the terminating null: argc slots. */
    args = calloc((size_t)argc, sizeof *args);
    if (args == NULL)
        die("calloc", 253);
    args[0] = dup_or_die(e->path, "calloc");
    for (i = 2; i < argc; i++)
        args[i - 1] = dup_or_die(argv[i], "calloc");

    /* Whatever the caller's environment can smuggle into a program must not
     * reach one that runs with more rights than the caller. */
    if (uid != caller || e->has_caps)
        scrub_env(environ);

    execv(e->path, args);
    perror(e->path);
    for (i = 0; args[i] != NULL; i++)
        free(args[i]);
    free(args);
}

int main(int argc, char **argv)
{
    const struct cmd_entry *e;

    if (argc < 2) {
        fputs("ERROR: must supply a command to run, as a command-line argument.\n", stderr);
        return 127;
    }
    load_cmds();
    e = find_cmd(cmds, count, argv[1]);
    if (e == NULL) {
        fprintf(stderr, "ERROR: Disallowed command %s\n", argv[1]);
        return 127;
    }
    run(e, argc, argv);
    return 255;
}
