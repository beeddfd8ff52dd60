/*
 * orv-root-wrapper COMMAND [ARG ...]
 *
 * Runs one command of the allow-list CONF_PATH under the user id the list
 * names for it, with the caller's remaining arguments.  Installed set-user-ID
 * root.  Every failure ends the process at once with its status (enum
 * exit_status).  A program run as another user than the caller gets a fresh
 * environment and process state, and must sit in a tree only root or that
 * user can change.  Once the list is read, a caller other than root learns
 * of a command that does not run no more than that it is not allowed.
 */
#define _GNU_SOURCE
#include "wrapper.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <limits.h>
#include <pwd.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

/* Warnings name the line by its number only: the caller may not read the
 * list. */
#define WARNING "WARNING: " CONF_PATH " line %u "
#define IGNORED "; line ignored.\n"

extern char **environ;

static struct cmd_entry cmds[CMDS_MAX];
static size_t count;
static uid_t caller;        /* the real user id the wrapper started with */
static const char *command; /* COMMAND as the caller typed it */

_Noreturn static void die(const char *what, int status)
{
    perror(what);
    exit(status);
}

_Noreturn static void disallow(void)
{
    fprintf(stderr, "ERROR: Disallowed command %s\n", command);
    exit(STATUS_NO_COMMAND);
}

static void refuse_if(const char *path, const char *problem)
{
    if (problem == NULL)
        return;
    fprintf(stderr, "ERROR: %s %s; refusing to run.\n", path, problem);
    exit(STATUS_REFUSED);
}

/*
 * A listed command that cannot run.  Root is told why, in the style of
 * perror.  Anyone else sees what an unlisted name gives: the reason could
 * name the configured path, and a status of its own would tell him that the
 * list names COMMAND.
 */
_Noreturn static void unrunnable(const char *what, int status)
{
    if (caller != 0)
        disallow();
    die(what, status);
}

static void unsafe_if(const char *where, const char *problem)
{
    if (problem != NULL && caller != 0)
        disallow();
    refuse_if(where, problem);
}

static char *dup_or_die(const char *s, const char *what)
{
    char *copy = strdup(s);

    if (copy == NULL)
        die(what, STATUS_SWITCH_FAILED);
    return copy;
}

/*
 * Opens the list and checks it on the descriptor it is read from: a regular
 * file (O_NONBLOCK: a FIFO must not stop the wrapper before it can tell),
 * in a tree only root can change, where a symbolic link leads too.
 */
static FILE *open_conf(void)
{
    char resolved[PATH_MAX];
    char where[PATH_MAX];
    struct stat opened;
    struct stat named;
    FILE *f;
    int fd = open(CONF_PATH, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);

    if (fd < 0 || fstat(fd, &opened) != 0)
        die(CONF_PATH, STATUS_REFUSED);
    refuse_if(CONF_PATH, conf_file_problem(&opened));
    if (realpath(CONF_PATH, resolved) == NULL)
        die(CONF_PATH, STATUS_REFUSED);
    refuse_if(where, tree_problem(resolved, 0, &named, where));
    /* A link swapped between open and realpath leads to another file. */
    if (named.st_dev != opened.st_dev || named.st_ino != opened.st_ino)
        refuse_if(CONF_PATH, "changed while it was checked");
    f = fdopen(fd, "r");
    if (f == NULL)
        die(CONF_PATH, STATUS_REFUSED);
    return f;
}

static void load_cmds(void)
{
    char line[LINE_BUF_SIZE];
    unsigned lineno = 0;
    enum line_status status;
    FILE *f = open_conf();

    while ((status = read_line(f, line, LINE_READ_MAX)) != LINE_EOF) {
        struct cmd_entry e = { 0 };
        enum parse_result parsed;
        const char *problem;

        lineno++;
        /* A read error could hide any later line; run nothing rather than
         * work from part of the list. */
        if (status == LINE_ERROR)
            die(CONF_PATH, STATUS_REFUSED);
        if (line[0] == '#')
            continue;
        if (status == LINE_TOO_LONG) {
            fprintf(stderr, WARNING "is longer than %d bytes" IGNORED, lineno, LINE_TEXT_MAX);
            continue;
        }
        if (status == LINE_HAS_NUL) {
            fprintf(stderr, WARNING "holds a NUL byte" IGNORED, lineno);
            continue;
        }
        parsed = parse_line(line, &e);
        problem = parse_problem(parsed);
        if (problem != NULL)
            fprintf(stderr, WARNING "%s" IGNORED, lineno, problem);
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
    if (fclose(f) != 0)
        die(CONF_PATH, STATUS_REFUSED);
}

static const struct passwd *target_user(uid_t uid)
{
    struct passwd *pw;

    /* A uid without an entry is no error to getpwuid: errno may stay 0. */
    errno = 0;
    pw = getpwuid(uid);
    if (pw == NULL) {
        if (errno == 0)
            errno = ENOENT;
        unrunnable("getpwuid", STATUS_SWITCH_FAILED);
    }
    return pw;
}

/* The path of the program to execute for owner, once its whole tree is known
 * to be safe from everybody else.  Executing the resolved path leaves no
 * link on the way to be swapped afterwards. */
static const char *trusted_program(const char *path, uid_t owner)
{
    static char resolved[PATH_MAX];
    char where[PATH_MAX];
    struct stat st;

    if (realpath(path, resolved) == NULL)
        unrunnable(path, STATUS_EXEC_FAILED);
    unsafe_if(where, tree_problem(resolved, owner, &st, where));
    return resolved;
}

/* The caller's own programs keep his groups, his current group included. */
static void switch_identity(const struct passwd *pw)
{
    if (pw->pw_uid != caller) {
        if (setgroups(0, NULL) != 0)
            die("setgroups", STATUS_SWITCH_FAILED);
        if (setresgid(pw->pw_gid, pw->pw_gid, pw->pw_gid) != 0)
            die("setresgid", STATUS_SWITCH_FAILED);
    }
    if (setresuid(pw->pw_uid, pw->pw_uid, pw->pw_uid) != 0)
        die("setresuid", STATUS_SWITCH_FAILED);
}

/* The path, ARG ..., and the terminating null: argc slots. */
static char **program_args(const char *path, int argc, char **argv)
{
    char **args = calloc((size_t)argc, sizeof *args);
    int i;

    if (args == NULL)
        die("calloc", STATUS_SWITCH_FAILED);
    args[0] = dup_or_die(path, "calloc");
    for (i = 2; i < argc; i++)
        args[i - 1] = dup_or_die(argv[i], "calloc");
    return args;
}

_Noreturn static void run(const struct cmd_entry *e, int argc, char **argv)
{
    /* Static, so that they stay reachable when execve fails: the process
     * ends right after, and leak checkers need not know. */
    static char **args;
    static char **env;
    const struct passwd *pw = target_user(e->has_uid ? (uid_t)e->uid : caller);
    const char *program = e->path;
    cap_t caps = NULL;
    const char *failed;

    args = program_args(e->path, argc, argv);
    env = environ;

    /* Whatever the caller sets up could steer a program that runs with more
     * rights than he has; his own programs get it all unchanged. */
    if (pw->pw_uid != caller || e->has_caps) {
        program = trusted_program(e->path, pw->pw_uid);
        env = build_env(environ, pw);
        if (env == NULL)
            die("malloc", STATUS_SWITCH_FAILED);
        if ((failed = reset_process_state()) != NULL)
            die(failed, STATUS_SWITCH_FAILED);
    }
    if (e->has_caps && (failed = caps_keep(e->caps, &caps)) != NULL)
        die(failed, STATUS_SWITCH_FAILED);
    switch_identity(pw);
    if (caps != NULL && (failed = caps_reapply(e->caps, caps)) != NULL)
        die(failed, STATUS_SWITCH_FAILED);

    execve(program, args, env);
    unrunnable(e->path, STATUS_EXEC_FAILED);
}

/* Messages and the allow-list must not land on a standard descriptor that
 * the caller left closed, nor may the program find one closed. */
static void open_standard_fds(void)
{
    int fd;

    for (fd = 0; fd <= 2; fd++) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        if (open("/dev/null", O_RDWR | O_NOCTTY) != fd)
            die("/dev/null", STATUS_SWITCH_FAILED);
    }
}

int main(int argc, char **argv)
{
    const struct cmd_entry *e;

    open_standard_fds();
    caller = getuid();
    if (argc < 2) {
        fputs("ERROR: must supply a command to run, as a command-line argument.\n", stderr);
        return STATUS_NO_COMMAND;
    }
    command = argv[1];
    load_cmds();
    e = find_cmd(cmds, count, command);
    if (e == NULL)
        disallow();
    run(e, argc, argv);
}
