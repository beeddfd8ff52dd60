#define _GNU_SOURCE
#include "wrapper.h"

#include <errno.h>
#include <signal.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

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
        return "close_range";
    return NULL;
}
