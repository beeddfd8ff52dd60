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

const char *reset_process_state(void)
{
    /* Lifting a hard limit needs root, so this runs before the identity
     * change: the shell's "ulimit -f 1" lowers the hard limit too. */
    static const struct {
        int resource;
        rlim_t value;
    } limits[] = { { RLIMIT_CORE, 0 }, { RLIMIT_FSIZE, RLIM_INFINITY } };
    static const int timers[] = { ITIMER_REAL, ITIMER_VIRTUAL, ITIMER_PROF };
    static const struct itimerval stopped;
    struct sigaction dfl;
    sigset_t none;
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
    for (i = 0; i < sizeof limits / sizeof limits[0]; i++) {
        struct rlimit limit = { limits[i].value, limits[i].value };

        if (setrlimit(limits[i].resource, &limit) != 0)
            return "setrlimit";
    }
    if (close_range(3, ~0U, 0) != 0)
        return errno == ENOSYS ? close_listed_fds() : "close_range";
    return NULL;
}
