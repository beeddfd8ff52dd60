/*
 * Helpers of orv-root-wrapper.  Most of them decide or parse and leave the
 * process alone; the file checks only look at the file system, and the
 * capability and process-state helpers change the calling process.  main.c
 * does the effects and ends the process on the first failure.
 */
#ifndef ORV_ROOT_WRAPPER_WRAPPER_H
#define ORV_ROOT_WRAPPER_WRAPPER_H

#include <pwd.h>
#include <stddef.h>
#include <stdio.h>
#include <sys/capability.h>
#include <sys/resource.h>
#include <sys/stat.h>

#ifdef __cplusplus
extern "C" {
#endif

#define CONF_PATH "/etc/orv-root-wrapper.conf"
#define CMDS_MAX 80
#define LINE_BUF_SIZE 1024
/* Like fgets with this limit: a line keeps at most LINE_READ_MAX - 1 bytes. */
#define LINE_READ_MAX (LINE_BUF_SIZE - 1)
#define LINE_TEXT_MAX (LINE_READ_MAX - 1)
/* The limits the system's own services start from: those of PID 1. */
#define SYSTEM_LIMITS "/proc/1/limits"
/* The search path of every program run as another user. */
#define SAFE_PATH "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"

enum exit_status {
    STATUS_REFUSED = 1,          /* the allow-list or the program is unusable */
    STATUS_NO_COMMAND = 127,     /* no COMMAND, one the list does not name, or
                                    (but for root) one that cannot run */
    STATUS_SWITCH_FAILED = 253,  /* identity or process-state change, memory */
    STATUS_EXEC_FAILED = 255     /* the program cannot be executed */
};

struct cmd_entry {
    char *name;
    char *path;
    int has_uid;
    int uid;
    /* No configuration line sets these; run() honours them all the same. */
    int has_caps;
    cap_value_t caps;
};

enum line_status {
    LINE_EOF,
    LINE_OK,
    LINE_TOO_LONG, /* buf holds the start; the rest of the line was consumed */
    LINE_HAS_NUL,
    LINE_ERROR
};

/*
 * Reads one line of f into buf (at most limit - 1 bytes, NUL-terminated,
 * newline dropped).  An over-long line is consumed to its end so that its
 * tail never reads as a line of its own.
 */
enum line_status read_line(FILE *f, char *buf, size_t limit);

enum parse_result {
    PARSE_NONE,       /* comment, blank start, or fewer than three fields */
    PARSE_ENTRY,
    PARSE_BAD_UID,    /* user field of digits beyond the range of an int */
    PARSE_NOT_NUMBER, /* user field starting with a digit but not all digits */
    PARSE_NOT_USER,   /* user field that is neither "-" nor digits */
    PARSE_RELATIVE    /* a path that does not start with '/' */
};

/*
 * Splits a configuration line in place into name, path and user.  The user
 * is "-" (the caller) or a decimal user id.  On PARSE_ENTRY, e->name and
 * e->path point into line and the uid fields are set; the caps fields are
 * left alone.
 */
enum parse_result parse_line(char *line, struct cmd_entry *e);

/* Why a line that parse_line rejected is ignored; NULL for PARSE_NONE and
 * PARSE_ENTRY, which need no warning. */
const char *parse_problem(enum parse_result result);

/* The text after the last '/' of command: all of it without one, empty when
 * command ends with '/'. */
const char *base_name(const char *command);

/*
 * The first of the count entries whose name equals the base name of command
 * or whose path equals command as a whole; NULL for none.  A null name ends
 * the table early.
 */
const struct cmd_entry *find_cmd(const struct cmd_entry *cmds, size_t count,
                                 const char *command);

/* Why the opened configuration must not be trusted, or NULL when it may. */
const char *conf_file_problem(const struct stat *st);

/*
 * Checks the file at path (absolute and free of symbolic links, as realpath
 * makes it) and every directory above it: each must be owned by root or by
 * owner and writable by neither group nor others.  Returns NULL when all
 * are, otherwise the problem.  where (room for path) ends up holding the
 * last name examined, on a problem the one that has it; file receives the
 * status of path itself.
 */
const char *tree_problem(const char *path, uid_t owner, struct stat *file, char *where);

/* Whether the caller's environment entry ("NAME=value") may reach a program
 * run as another user. */
int env_keeps(const char *entry);

/*
 * The environment of a program run as the user pw: the variables the
 * wrapper sets from pw, then the caller's entries that env_keeps allows, in
 * their order.  One allocation that free() releases (the kept entries point
 * into caller); NULL when out of memory.
 */
char **build_env(char *const *caller, const struct passwd *pw);

/*
 * Reads a table in the format of /proc/PID/limits into limits, RLIM_NLIMITS
 * entries indexed by resource.  Every resource must have its line, in the
 * kernel's order and with its unit, and nothing else may follow.  Returns 0,
 * or -1 with errno EBADMSG for a table of any other shape (or the error of
 * the failed read).
 */
int read_limits(FILE *f, struct rlimit *limits);

/*
 * Replaces the process state a caller passes on with a known one: every
 * signal at its default action and none blocked, no interval timer, the
 * umask widened by 022, the resource limits of SYSTEM_LIMITS but no core
 * files, nice value 0, and nothing open above standard error.  Returns the
 * name of the failing call or file (for perror), or NULL.
 */
const char *reset_process_state(void);

/*
 * Before the identity change: applies a state with cap in the effective,
 * permitted and inheritable sets (plus, transiently, what setgroups,
 * setresgid and setresuid need) and keeps capabilities across the user
 * change.  After it, caps_reapply narrows the process to cap alone and frees
 * the state.  Both return the name of the failing call, or NULL.
 */
const char *caps_keep(cap_value_t cap, cap_t *state);
const char *caps_reapply(cap_value_t cap, cap_t state);

#ifdef __cplusplus
}
#endif

#endif
