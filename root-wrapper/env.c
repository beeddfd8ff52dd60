#include "wrapper.h"

#include <stdlib.h>
#include <string.h>

enum env_source {
    /* Set by the wrapper, whatever the caller passes. */
    SET_PATH,
    SET_HOME,
    SET_SHELL,
    SET_USER,
    /* Taken from the caller when the value passes the check. */
    KEEP_NO_SLASH,
    KEEP_LOCALE,
    KEEP_ZONE,
    KEEP_DIGITS
};

/*
 * The whole environment of a program run as another user: nothing else
 * reaches it.  No kept value holds a '/', so none can lead the program to a
 * file outside the system's own directories.  A trailing '*' makes the name
 * a prefix.
 */
static const struct env_rule {
    const char *name;
    enum env_source source;
} env_rules[] = {
    { "PATH", SET_PATH },
    { "HOME", SET_HOME },
    { "SHELL", SET_SHELL },
    { "USER", SET_USER },
    { "LOGNAME", SET_USER },
    { "TERM", KEEP_NO_SLASH },
    { "LANG", KEEP_LOCALE },
    { "LANGUAGE", KEEP_LOCALE },
    { "LC_*", KEEP_LOCALE },
    { "TZ", KEEP_ZONE },
    { "COLUMNS", KEEP_DIGITS },
    { "LINES", KEEP_DIGITS },
};

#define ENV_RULES (sizeof env_rules / sizeof env_rules[0])

static int name_matches(const char *name, size_t len, const char *pattern)
{
    size_t plen = strlen(pattern);

    if (plen > 0 && pattern[plen - 1] == '*')
        return len >= plen - 1 && strncmp(name, pattern, plen - 1) == 0;
    return len == plen && strncmp(name, pattern, len) == 0;
}

static int value_is_sane(const char *value, enum env_source source)
{
    switch (source) {
    case KEEP_NO_SLASH:
        return strchr(value, '/') == NULL;
    case KEEP_LOCALE:
        return strchr(value, '/') == NULL && strstr(value, "..") == NULL;
    case KEEP_ZONE: /* ":name" and "a/b" are files of time-zone data */
        return strchr(value, '/') == NULL && value[0] != ':';
    case KEEP_DIGITS:
        return value[0] != '\0' && value[strspn(value, "0123456789")] == '\0';
    default: /* the wrapper's own variables never come from the caller */
        return 0;
    }
}

int env_keeps(const char *entry)
{
    const char *eq = strchr(entry, '=');
    size_t i;

    if (eq == NULL)
        return 0;
    for (i = 0; i < ENV_RULES; i++) {
        if (name_matches(entry, (size_t)(eq - entry), env_rules[i].name))
            return value_is_sane(eq + 1, env_rules[i].source);
    }
    return 0;
}

static const char *set_value(enum env_source source, const struct passwd *pw)
{
    switch (source) {
    case SET_PATH:
        return SAFE_PATH;
    case SET_HOME:
        return pw->pw_dir;
    case SET_SHELL: /* an empty shell field means the standard shell */
        return pw->pw_shell[0] != '\0' ? pw->pw_shell : "/bin/sh";
    case SET_USER:
        return pw->pw_name;
    default:
        return NULL;
    }
}

char **build_env(char *const *caller, const struct passwd *pw)
{
    size_t slots = 1; /* the terminating null */
    size_t bytes = 0;
    size_t n = 0;
    size_t i;
    char **env;
    char *text;

    for (i = 0; caller[i] != NULL; i++)
        slots++;
    for (i = 0; i < ENV_RULES; i++) {
        const char *value = set_value(env_rules[i].source, pw);

        if (value != NULL) {
            slots++;
            bytes += strlen(env_rules[i].name) + strlen(value) + 2;
        }
    }
    env = malloc(slots * sizeof *env + bytes);
    if (env == NULL)
        return NULL;
    /* The texts of the wrapper's own variables follow the pointers. */
    text = (char *)(env + slots);
    for (i = 0; i < ENV_RULES; i++) {
        const char *value = set_value(env_rules[i].source, pw);

        if (value != NULL) {
            env[n++] = text;
            text += sprintf(text, "%s=%s", env_rules[i].name, value) + 1;
        }
    }
    for (i = 0; caller[i] != NULL; i++) {
        if (env_keeps(caller[i]))
            env[n++] = caller[i];
    }
    env[n] = NULL;
    return env;
}
