/* The program the wrapper runs in the tests: reports what it was started
 * with, one item per line. */
#define _GNU_SOURCE
#include <stdio.h>
#include <string.h>
#include <unistd.h>

extern char **environ;

int main(int argc, char **argv)
{
    uid_t ruid, euid, suid;
    gid_t rgid, egid, sgid;
    gid_t groups[256];
    char line[256];
    int n = getgroups(256, groups);
    FILE *status = fopen("/proc/self/status", "r");

    if (n < 0 || status == NULL || getresuid(&ruid, &euid, &suid) != 0
        || getresgid(&rgid, &egid, &sgid) != 0)
        return 70;
    printf("ids %u %u %u %u %u %u\ngroups", ruid, euid, suid, rgid, egid, sgid);
    for (int i = 0; i < n; i++)
        printf(" %u", groups[i]);
    putchar('\n');
    while (fgets(line, sizeof line, status) != NULL) {
        if (strncmp(line, "CapEff:\t", 8) == 0)
            printf("capeff %s", line + 8);
    }
    fclose(status);
    for (int i = 0; i < argc; i++)
        printf("arg %s\n", argv[i]);
    for (char **e = environ; *e != NULL; e++)
        printf("env %s\n", *e);
    return 0;
}
