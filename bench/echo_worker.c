/*
 * Echo worker for the benchmark: speaks the task service's worker channel
 * protocol on the descriptor named by argv[4] and answers every request with
 * its body unchanged.
 *
 * Request frame: 1 byte action length A, A bytes action, 1 byte address
 * length L, L bytes client address, 4 bytes big-endian body length B,
 * B bytes body.  Reply: 4 bytes big-endian length R, R bytes, 1 completion
 * byte.  The reply and the completion byte leave in one write.
 *
 * The action "slow" makes the worker sleep before answering (milliseconds
 * taken from the first extra argument, 1000 by default), so that a burst of
 * slow requests holds many workers busy at once.
 */
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

/* Reads exactly n bytes; returns 0 on success, -1 on end of file or error. */
static int read_full(int fd, void *buf, size_t n)
{
    char *p = buf;
    while (n > 0) {
        ssize_t r = read(fd, p, n);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return -1;
        p += r;
        n -= (size_t)r;
    }
    return 0;
}

static int write_full(int fd, const void *buf, size_t n)
{
    const char *p = buf;
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return -1;
        p += w;
        n -= (size_t)w;
    }
    return 0;
}

static void sleep_ms(long ms)
{
    struct timespec ts = { ms / 1000, (ms % 1000) * 1000000L };
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

int main(int argc, char **argv)
{
    if (argc < 5) {
        fprintf(stderr, "usage: %s SERVICE GROUP NUMBER FD [SLOW-MS]\n", argv[0]);
        return 2;
    }
    int fd = atoi(argv[4]);
    long slow_ms = argc > 5 ? atol(argv[5]) : 1000;

    /* One buffer holds the reply header, the body and the completion byte. */
    size_t capacity = 0;
    unsigned char *out = NULL;
    for (;;) {
        unsigned char len8;
        char action[256];
        char address[256];
        unsigned char len32[4];

        if (read_full(fd, &len8, 1) != 0)
            break;
        if (read_full(fd, action, len8) != 0)
            break;
        action[len8] = '\0';
        if (read_full(fd, &len8, 1) != 0 || read_full(fd, address, len8) != 0)
            break;
        if (read_full(fd, len32, 4) != 0)
            break;
        uint32_t body_len = (uint32_t)len32[0] << 24 | (uint32_t)len32[1] << 16 |
                            (uint32_t)len32[2] << 8 | (uint32_t)len32[3];

        size_t need = (size_t)body_len + 5;
        if (need > capacity) {
            unsigned char *grown = realloc(out, need);
            if (grown == NULL) {
                fprintf(stderr, "echo_worker: out of memory\n");
                return 1;
            }
            out = grown;
            capacity = need;
        }
        if (read_full(fd, out + 4, body_len) != 0)
            break;
        if (strcmp(action, "slow") == 0)
            sleep_ms(slow_ms);

        memcpy(out, len32, 4);
        out[4 + body_len] = 1;
        if (write_full(fd, out, need) != 0)
            break;
    }
    free(out);
    return 0;
}
