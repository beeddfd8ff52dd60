#include "wrapper.h"

#include <string.h>

/*
 * Variables through which a caller could make a program running as someone
 * else load or run code of the caller's choosing.  A trailing '*' makes the
 * entry a prefix.
 */
static const char *const unsafe_env[] = {
    /* The dynamic loader, and what glibc itself drops for set-user-ID
     * programs: conversion modules, locales, allocator and resolver
     * settings, temporary and time-zone directories. */
    "LD_*", "GCONV_PATH", "GETCONF_DIR", "GLIBC_TUNABLES", "HOSTALIASES",
    "LOCALDOMAIN", "LOCPATH", "MALLOC_*", "NIS_PATH", "NLSPATH",
    "RESOLV_HOST_CONF", "RES_OPTIONS", "TMPDIR", "TZDIR",
    /* Shell start-up files, exported functions and options. */
    "BASH_ENV", "ENV", "BASH_FUNC_*", "SHELLOPTS", "BASHOPTS", "PS4", "IFS",
    "CDPATH", "GLOBIGNORE", "FPATH", "ZDOTDIR", "NULLCMD", "READNULLCMD",
    "TMPPREFIX",
    /* Terminal descriptions, parsed by curses programs. */
    "TERMINFO", "TERMINFO_DIRS", "TERMPATH", "TERMCAP",
    /* Interpreter search paths, start-up code and options.  Every PYTHON*
     * variable goes: several of them import modules by name. */
    "PYTHON*", "PERL5LIB", "PERLLIB", "PERL5OPT", "PERL5DB", "PERLIO_DEBUG",
    "RUBYLIB", "RUBYOPT", "GEM_HOME", "GEM_PATH", "NODE_OPTIONS", "NODE_PATH",
    "JAVA_TOOL_OPTIONS", "_JAVA_OPTIONS", "JDK_JAVA_OPTIONS", "CLASSPATH",
    "LUA_INIT*", "LUA_PATH*", "LUA_CPATH*", "TCLLIBPATH",
    /* Library configuration that loads modules. */
    "OPENSSL_CONF", "OPENSSL_ENGINES", "OPENSSL_MODULES",
};

static int name_matches(const char *name, size_t len, const char *pattern)
{
    size_t plen = strlen(pattern);

    if (plen > 0 && pattern[plen - 1] == '*')
        return len >= plen - 1 && strncmp(name, pattern, plen - 1) == 0;
    return len == plen && strncmp(name, pattern, len) == 0;
}

int env_is_unsafe(const char *entry)
{
    const char *eq = strchr(entry, '=');
    size_t len = eq != NULL ? (size_t)(eq - entry) : strlen(entry);
    size_t i;

    /* Functions exported by older shells have values starting with "()". */
    if (eq != NULL && strncmp(eq + 1, "()", 2) == 0)
        return 1;
    for (i = 0; i < sizeof unsafe_env / sizeof unsafe_env[0]; i++) {
        if (name_matches(entry, len, unsafe_env[i]))
            return 1;
    }
    return 0;
}

size_t scrub_env(char **env)
{
    size_t kept = 0;
    size_t i;

    for (i = 0; env[i] != NULL; i++) {
        if (!env_is_unsafe(env[i]))
            env[kept++] = env[i];
    }
    env[kept] = NULL;
    return kept;
}
