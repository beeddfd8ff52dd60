#define _GNU_SOURCE
#include "wrapper.h"

#include <dirent.h>
#include <errno.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

/*
 * For kernels without close_range (before 5.9), or a seccomp filter that
 * answers it with ENOSYS.  The directory lists the descriptors in the order
 * of their numbers, so closing those already listed skips none of the rest.
 */
static const char *close_listed_fds(void)
{
    DIR *dir = opendir("/proc/self/fd");
    struct dirent *ent;

    if (dir == NULL)
        return "/proc/self/fd";
    for (errno = 0; (ent = readdir(dir)) != NULL; errno = 0) {
        char *end;
        long fd = strtol(ent->d_name, &end, 10);

        if (strcmp(ent->d_name, ".") == 0 || strcmp(ent->d_name, "..") == 0)
            continue;
        if (end == ent->d_name || *end != '\0') {
            errno = EBADMSG; /* not a descriptor number: nothing is known */
            return "/proc/self/fd";
        }
        /* The descriptor is released whatever close reports. */
        if (fd > 2 && fd != dirfd(dir))
            (void)close((int)fd);
    }
    if (errno != 0)
        return "readdir";
    if (closedir(dir) != 0)
        return "closedir";
    return NULL;
}

/*
 * Lowered limits could cut a program short half-way through its work (a
 * file-size limit, a stack or address space too small to finish), so it
 * gets those of the system's own services.  No core file, all the same: a
 * crash must leave nothing where the caller could reach it.  Lifting a hard
 * limit needs root, so this runs before the identity change: the shell's
 * "ulimit -f 1" lowers the hard limit too.
 */
static const char *set_system_limits(void)
{
    struct rlimit limits[RLIM_NLIMITS];
    FILE *f = fopen(SYSTEM_LIMITS, "re");
    int resource;
    int parsed;
    int parse_error;

    if (f == NULL)
        return SYSTEM_LIMITS;
    parsed = read_limits(f, limits);
    parse_error = errno;
    if (fclose(f) != 0)
        return SYSTEM_LIMITS;
    if (parsed != 0) {
        errno = parse_error;
        return SYSTEM_LIMITS;
    }
    limits[RLIMIT_CORE].rlim_cur = 0;
    limits[RLIMIT_CORE].rlim_max = 0;
    for (resource = 0; resource < RLIM_NLIMITS; resource++) {
        if (setrlimit(resource, &limits[resource]) != 0)
            return "setrlimit";
    }
    return NULL;
}

const char *reset_process_state(void)
{
    static const int timers[] = { ITIMER_REAL, ITIMER_VIRTUAL, ITIMER_PROF };
    static const struct itimerval stopped;
    struct sigaction dfl;
    sigset_t none;
    const char *failed;
    size_t i;
    int sig;

    memset(&dfl, 0, sizeof dfl);
    dfl.sa_handler = SIG_DFL;
    if (sigemptyset(&dfl.sa_mask) != 0 || sigemptyset(&none) != 0)
        return "sigemptyset";
    for (sig = 1; sig < NSIG; sig++) {
        /* EINVAL: SIGKILL, SIGSTOP and what the C library keeps for itself. */
        if (sigaction(sig, &dfl, NULL) != 0 && errno != EINVAL)
            return "sigaction";
    }
    if (sigprocmask(SIG_SETMASK, &none, NULL) != 0)
        return "sigprocmask";
    for (i = 0; i < sizeof timers / sizeof timers[0]; i++) {
        if (setitimer(timers[i], &stopped, NULL) != 0)
            return "setitimer";
    }
    umask(umask(022) | 022);
    if ((failed = set_system_limits()) != NULL)
        return failed;
    /* A niced program is slower to finish, and a caller who races it gains
     * time. */
    if (setpriority(PRIO_PROCESS, 0, 0) != 0)
        return "setpriority";
    if (close_range(3, ~0U, 0) != 0)
        return errno == ENOSYS ? close_listed_fds() : "close_range";
    return NULL;
}
