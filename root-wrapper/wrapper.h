/*
 * Helpers of orv-root-wrapper.  Everything here decides or parses and leaves
 * the process alone (the capability helpers excepted); main.c does the effects
 * and ends the process on the first failure.
 */
#ifndef ORV_ROOT_WRAPPER_WRAPPER_H
#define ORV_ROOT_WRAPPER_WRAPPER_H

#include <stddef.h>
#include <stdio.h>
#include <sys/capability.h>
#include <sys/stat.h>

#ifdef __cplusplus
extern "C" {
#endif

#define CONF_PATH "/etc/orv-root-wrapper.conf"
#define CMDS_MAX 80
#define LINE_BUF_SIZE 1024
/* Like fgets with this limit: a line keeps at most LINE_READ_MAX - 1 bytes. */
#define LINE_READ_MAX 1023

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
    PARSE_NONE,   /* comment, blank start, or fewer than three fields */
    PARSE_ENTRY,
    PARSE_BAD_UID /* user field of digits beyond the range of an int */
};

/*
 * Splits a configuration line in place into name, path and user.  On
 * PARSE_ENTRY, e->name and e->path point into line and the uid fields are
 * set; the caps fields are left alone.
 */
enum parse_result parse_line(char *line, struct cmd_entry *e);

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

/* Whether an environment entry ("NAME=value") must not reach a program run
 * as another user. */
int env_is_unsafe(const char *entry);

/* Drops the unsafe entries from a NULL-terminated environment array in place,
 * keeping the order of the rest; returns how many remain. */
size_t scrub_env(char **env);

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
