/*
 * Echo worker for the benchmark: speaks the task service's worker channel
 * protocol on the descriptor named by argv[4] and answers every request with
 * its body unchanged.
 *
 * Request frame: 1 byte action length A, A bytes action, 1 byte address
 * length L, L bytes client address, 4 bytes big-endian body length B,
 * B bytes body.  Reply: 4 bytes big-endian length R, R bytes, 1 completion
 * byte.  The reply and the completion byte leave in one writev.
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
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

/*
 * Input buffer: frames are read in as large pieces as the socket offers, so
 * a request that the service wrote at once costs one read.
 */
static unsigned char *in_buf;
static size_t in_cap;
static size_t in_len;

/* Makes at least n bytes available in in_buf; returns 0, or -1 at end of
 * input, on a read error or when memory runs out. */
static int fill(int fd, size_t n)
{
    if (n > in_cap) {
        size_t cap = in_cap * 2 > n ? in_cap * 2 : n;
        unsigned char *grown = realloc(in_buf, cap);
        if (grown == NULL) {
            fprintf(stderr, "echo_worker: out of memory\n");
            return -1;
        }
        in_buf = grown;
        in_cap = cap;
    }
    while (in_len < n) {
        ssize_t r = read(fd, in_buf + in_len, in_cap - in_len);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return -1;
        in_len += (size_t)r;
    }
    return 0;
}

static int write_all(int fd, struct iovec *iov, int count)
{
    while (count > 0) {
        ssize_t w = writev(fd, iov, count);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return -1;
        while (count > 0 && (size_t)w >= iov->iov_len) {
            w -= (ssize_t)iov->iov_len;
            iov++;
            count--;
        }
        if (count > 0) {
            iov->iov_base = (char *)iov->iov_base + w;
            iov->iov_len -= (size_t)w;
        }
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

    in_cap = 65536;
    in_buf = malloc(in_cap);
    if (in_buf == NULL)
        return 1;
    for (;;) {
        /* action length, action, address length, address, body length */
        if (fill(fd, 1) != 0)
            break;
        size_t action_len = in_buf[0];
        if (fill(fd, 2 + action_len) != 0)
            break;
        size_t address_len = in_buf[1 + action_len];
        size_t header = 2 + action_len + address_len + 4;
        if (fill(fd, header) != 0)
            break;
        const unsigned char *len32 = in_buf + header - 4;
        uint32_t body_len = (uint32_t)len32[0] << 24 | (uint32_t)len32[1] << 16 |
                            (uint32_t)len32[2] << 8 | (uint32_t)len32[3];
        size_t frame = header + body_len;
        if (fill(fd, frame) != 0)
            break;
        len32 = in_buf + header - 4; /* fill may have moved the buffer */

        if (action_len == 4 && memcmp(in_buf + 1, "slow", 4) == 0)
            sleep_ms(slow_ms);

        /* The body length field doubles as the reply length. */
        unsigned char completion = 1;
        struct iovec iov[3] = {
            { (void *)len32, 4 },
            { in_buf + header, body_len },
            { &completion, 1 },
        };
        if (write_all(fd, iov, 3) != 0)
            break;
        in_len -= frame;
        memmove(in_buf, in_buf + frame, in_len);
    }
    free(in_buf);
    return 0;
}
