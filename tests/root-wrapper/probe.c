/* The program the wrapper runs in the tests: reports what it was started
 * with, one item per line.  Started as "probe --hostile PROGRAM [ARG ...]" it
 * is the caller's side instead: it blocks SIGTERM and SIGUSR1, arms a long
 * alarm and executes PROGRAM, which inherits both (a shell on the way would
 * clear the mask).  With --no-close-range it installs a seccomp filter that
 * answers close_range as a kernel before 5.9 does, and executes PROGRAM. */
#define _GNU_SOURCE
#include <dirent.h>
#include <errno.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <signal.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

extern char **environ;

/* Each line of /proc/self/limits but its header. */
static void print_limits(void)
{
    char line[256];
    FILE *limits = fopen("/proc/self/limits", "r");

    if (limits == NULL || fgets(line, sizeof line, limits) == NULL)
        exit(70);
    while (fgets(line, sizeof line, limits) != NULL)
        printf("limit %s", line);
    fclose(limits);
}

/* CapEff, Umask, SigBlk and SigIgn, keyed in lower case. */
static void print_status(void)
{
    static const char *const keys[] = { "CapEff:\t", "Umask:\t", "SigBlk:\t", "SigIgn:\t" };
    char line[256];
    FILE *status = fopen("/proc/self/status", "r");

    if (status == NULL)
        exit(70);
    while (fgets(line, sizeof line, status) != NULL) {
        for (size_t k = 0; k < sizeof keys / sizeof keys[0]; k++) {
            size_t len = strlen(keys[k]);

            if (strncmp(line, keys[k], len) != 0)
                continue;
            for (size_t i = 0; i + 2 < len; i++)
                putchar(line[i] >= 'A' && line[i] <= 'Z' ? line[i] - 'A' + 'a' : line[i]);
            printf(" %s", line + len);
        }
    }
    fclose(status);
}

static void print_fds(void)
{
    DIR *d = opendir("/proc/self/fd");
    struct dirent *ent;

    if (d == NULL)
        exit(70);
    printf("fds");
    while ((ent = readdir(d)) != NULL) {
        if (ent->d_name[0] != '.' && atoi(ent->d_name) != dirfd(d))
            printf(" %s", ent->d_name);
    }
    putchar('\n');
    closedir(d);
}

static int hostile(void)
{
    static const struct itimerval alarm = { { 0, 0 }, { 1000, 0 } };
    sigset_t set;

    return sigemptyset(&set) != 0 || sigaddset(&set, SIGTERM) != 0 || sigaddset(&set, SIGUSR1) != 0
           || sigprocmask(SIG_BLOCK, &set, NULL) != 0 || setitimer(ITIMER_REAL, &alarm, NULL) != 0;
}

/* Needs CAP_SYS_ADMIN rather than no_new_privs, which would keep a
 * set-user-ID wrapper from gaining root. */
static int no_close_range(void)
{
    struct sock_filter code[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_close_range, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    struct sock_fprog prog = { sizeof code / sizeof code[0], code };

    return prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog) != 0;
}

int main(int argc, char **argv)
{
    uid_t ruid, euid, suid;
    gid_t rgid, egid, sgid;
    gid_t groups[256];
    char cwd[4096];
    struct itimerval alarm;
    int n = getgroups(256, groups);
    int niceness;

    if (argc > 2 && (strcmp(argv[1], "--hostile") == 0 || strcmp(argv[1], "--no-close-range") == 0)) {
        if (argv[1][2] == 'h' ? hostile() : no_close_range())
            return 70;
        execv(argv[2], argv + 2);
        return 71;
    }
    if (n < 0 || getresuid(&ruid, &euid, &suid) != 0 || getresgid(&rgid, &egid, &sgid) != 0
        || getitimer(ITIMER_REAL, &alarm) != 0 || getcwd(cwd, sizeof cwd) == NULL)
        return 70;
    printf("ids %u %u %u %u %u %u\ngroups", ruid, euid, suid, rgid, egid, sgid);
    for (int i = 0; i < n; i++)
        printf(" %u", groups[i]);
    putchar('\n');
    print_status();
    print_limits();
    errno = 0;
    niceness = getpriority(PRIO_PROCESS, 0);
    if (errno != 0)
        return 70;
    printf("nice %d\n", niceness);
    printf("alarm %s\n", alarm.it_value.tv_sec != 0 ? "armed" : "off");
    print_fds();
    /* Closes no descriptor: none has this number. */
    printf("close_range %s\n", close_range(~0U, ~0U, 0) == 0 ? "works" : strerror(errno));
    printf("cwd %s\n", cwd);
    for (int i = 0; i < argc; i++)
        printf("arg %s\n", argv[i]);
    for (char **e = environ; *e != NULL; e++)
        printf("env %s\n", *e);
    return 0;
}
