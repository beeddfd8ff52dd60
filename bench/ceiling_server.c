/*
 * The benchmark's ceiling: a minimal epoll HTTP/1.0 server that does the
 * echo work itself, with no hop to a worker process.  It checks what the
 * task service checks (method POST, path under /echo/, Content-Type exactly
 * application/json, Content-Length present and at most 1 MiB), answers
 * "200 OK" with the request body as the reply body and closes the
 * connection.  One request per connection, no keep-alive.
 *
 * With "keep-alive" as third argument a connection stays open after a
 * good reply: an HTTP/1.1 request keeps it unless it says "Connection:
 * close", an HTTP/1.0 request only when it says "Connection: keep-alive"
 * (then answered with the same header).  HTTP/1.1 requests get HTTP/1.1
 * replies; every reply has Content-Length; requests sent back to back are
 * answered in order, one at a time; an error reply closes the connection.
 *
 * Usage: ceiling_server PORT [THREADS [keep-alive]]
 * Each thread owns an epoll set and its own listening socket on
 * 127.0.0.1:PORT (SO_REUSEPORT lets the kernel spread connections).
 */
#define _GNU_SOURCE
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdint.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

enum { MAX_BODY = 1048576, MAX_HEADER = 65536, MAX_EVENTS = 256 };

static int keep_alive_mode;

struct conn {
    int fd;
    char *buf;
    size_t cap;
    size_t len;
    size_t header_len;   /* 0 until the blank line has been seen */
    size_t body_len;
    /* Pending response: head[] then the body slice of buf. */
    char head[160];
    size_t head_len;
    const char *reply;
    size_t reply_len;
    size_t sent;         /* bytes of head + reply already written */
    int writing;
    int http11;          /* the request line said HTTP/1.1 */
    int keep;            /* the connection stays open after this reply */
    uint32_t events;     /* what the epoll set waits for */
};

static int listen_on(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        perror("socket");
        exit(1);
    }
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one);
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons((unsigned short)port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, (struct sockaddr *)&addr, sizeof addr) != 0) {
        perror("bind");
        exit(1);
    }
    if (listen(fd, 4096) != 0) {
        perror("listen");
        exit(1);
    }
    return fd;
}

static void close_conn(struct conn *c)
{
    close(c->fd); /* also removes it from the epoll set */
    free(c->buf);
    free(c);
}

/* Finds a header's value in the header block; returns its length or -1. */
static int find_header(const char *head, size_t len, const char *name,
                       const char **value)
{
    size_t name_len = strlen(name);
    const char *p = memchr(head, '\n', len);
    const char *end = head + len;
    while (p != NULL && p + 1 < end) {
        const char *line = p + 1;
        const char *eol = memchr(line, '\n', (size_t)(end - line));
        if (eol == NULL)
            break;
        if ((size_t)(eol - line) > name_len && line[name_len] == ':' &&
            strncasecmp(line, name, name_len) == 0) {
            const char *v = line + name_len + 1;
            while (v < eol && (*v == ' ' || *v == '\t'))
                v++;
            const char *ve = eol;
            while (ve > v && (ve[-1] == '\r' || ve[-1] == ' ' || ve[-1] == '\t'))
                ve--;
            *value = v;
            return (int)(ve - v);
        }
        p = eol;
    }
    return -1;
}

static void set_reply(struct conn *c, const char *status, const char *type,
                      const char *body, size_t body_len)
{
    /* Without keep-alive the reply is the plain HTTP/1.0 one, byte for byte. */
    const char *connection = "";
    if (keep_alive_mode && !c->keep)
        connection = "Connection: close\r\n";
    else if (keep_alive_mode && !c->http11)
        connection = "Connection: keep-alive\r\n";
    c->head_len = (size_t)snprintf(c->head, sizeof c->head,
                                   "HTTP/1.%d %s\r\nContent-Type: %s\r\n"
                                   "Content-Length: %zu\r\n%s\r\n",
                                   c->http11, status, type, body_len, connection);
    c->reply = body;
    c->reply_len = body_len;
    c->sent = 0;
    c->writing = 1;
}

static void set_error(struct conn *c, const char *status, const char *text)
{
    c->keep = 0; /* after a refused request nothing that follows can be trusted */
    set_reply(c, status, "text/plain", text, strlen(text));
}

/* Whether the request line ends in HTTP/1.1 and whether the connection may
 * stay open after the reply (keep-alive mode only). */
static void read_version(struct conn *c)
{
    const char *eol = memmem(c->buf, c->header_len, "\r\n", 2);
    c->http11 = keep_alive_mode && eol != NULL && eol - c->buf >= 8 &&
                memcmp(eol - 8, "HTTP/1.1", 8) == 0;
    const char *value;
    int n = find_header(c->buf, c->header_len, "connection", &value);
    if (n == 5 && strncasecmp(value, "close", 5) == 0)
        c->keep = 0;
    else if (n == 10 && strncasecmp(value, "keep-alive", 10) == 0)
        c->keep = keep_alive_mode;
    else
        c->keep = c->http11;
}

/*
 * Looks at the bytes received so far.  Returns 1 when a response is ready,
 * 0 when more bytes are needed.
 */
static int parse(struct conn *c)
{
    if (c->header_len == 0) {
        char *end = memmem(c->buf, c->len, "\r\n\r\n", 4);
        if (end == NULL) {
            if (c->len >= MAX_HEADER) {
                set_error(c, "413 Request Entity Too Large", "Request is too big.");
                return 1;
            }
            return 0;
        }
        c->header_len = (size_t)(end - c->buf) + 4;
        read_version(c);
        if (c->len < 5 || memcmp(c->buf, "POST ", 5) != 0) {
            set_error(c, "405 Method Not Allowed", "Unsupported HTTP method.");
            return 1;
        }
        if (c->header_len < 12 || memcmp(c->buf + 5, "/echo/", 6) != 0 ||
            c->buf[11] == ' ') {
            set_error(c, "404 Not Found", "API service not found.");
            return 1;
        }
        const char *value;
        int n = find_header(c->buf, c->header_len, "content-type", &value);
        if (n != 16 || memcmp(value, "application/json", 16) != 0) {
            set_error(c, "406 Not Acceptable", "Invalid content type.");
            return 1;
        }
        n = find_header(c->buf, c->header_len, "content-length", &value);
        if (n <= 0) {
            set_error(c, "411 Length Required", "Content-Length is missing.");
            return 1;
        }
        size_t length = 0;
        for (int i = 0; i < n; i++) {
            if (value[i] < '0' || value[i] > '9') {
                set_error(c, "400 Bad Request", "Invalid Content-Length.");
                return 1;
            }
            length = length * 10 + (size_t)(value[i] - '0');
            if (length > MAX_BODY) {
                set_error(c, "413 Request Entity Too Large", "Request is too big.");
                return 1;
            }
        }
        c->body_len = length;
        if (c->header_len + length > c->cap) {
            char *grown = realloc(c->buf, c->header_len + length);
            if (grown == NULL) {
                set_error(c, "500 Internal Server Error", "");
                return 1;
            }
            c->buf = grown;
            c->cap = c->header_len + length;
        }
    }
    if (c->len < c->header_len + c->body_len)
        return 0;
    set_reply(c, "200 OK", "application/json", c->buf + c->header_len, c->body_len);
    return 1;
}

/* Writes what it can; returns 1 when all is written, 0 on EAGAIN, -1 on error. */
static int flush(struct conn *c)
{
    size_t total = c->head_len + c->reply_len;
    while (c->sent < total) {
        struct iovec iov[2];
        int n = 0;
        if (c->sent < c->head_len) {
            iov[n].iov_base = c->head + c->sent;
            iov[n].iov_len = c->head_len - c->sent;
            n++;
            iov[n].iov_base = (void *)c->reply;
            iov[n].iov_len = c->reply_len;
            n++;
        } else {
            iov[n].iov_base = (void *)(c->reply + (c->sent - c->head_len));
            iov[n].iov_len = total - c->sent;
            n++;
        }
        ssize_t w = writev(c->fd, iov, n);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            return errno == EAGAIN ? 0 : -1;
        }
        c->sent += (size_t)w;
    }
    return 1;
}

static void wait_for(int ep, struct conn *c, uint32_t events)
{
    if (c->events == events)
        return;
    struct epoll_event ev = { .events = events, .data.ptr = c };
    epoll_ctl(ep, EPOLL_CTL_MOD, c->fd, &ev);
    c->events = events;
}

/* Drops the request just answered; what follows it stays in buf. */
static void consume_request(struct conn *c)
{
    size_t used = c->header_len + c->body_len;
    memmove(c->buf, c->buf + used, c->len - used);
    c->len -= used;
    c->header_len = 0;
    c->body_len = 0;
    c->writing = 0;
}

/*
 * Sends the pending reply.  On a connection that stays open it then answers
 * the requests already received, in order, and waits for more; otherwise
 * the connection is closed once the reply is out.
 */
static void advance(int ep, struct conn *c)
{
    for (;;) {
        int done = flush(c);
        if (done < 0 || (done > 0 && !c->keep)) {
            close_conn(c);
            return;
        }
        if (done == 0) {
            wait_for(ep, c, EPOLLOUT);
            return;
        }
        consume_request(c);
        if (!parse(c)) {
            wait_for(ep, c, EPOLLIN);
            return;
        }
    }
}

static void on_readable(int ep, struct conn *c)
{
    for (;;) {
        if (c->len == c->cap) {
            size_t cap = c->cap * 2;
            char *grown = realloc(c->buf, cap);
            if (grown == NULL) {
                close_conn(c);
                return;
            }
            c->buf = grown;
            c->cap = cap;
        }
        ssize_t r = read(c->fd, c->buf + c->len, c->cap - c->len);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0 && errno == EAGAIN)
            return;
        if (r <= 0) {
            close_conn(c);
            return;
        }
        c->len += (size_t)r;
        if (parse(c))
            break;
    }
    advance(ep, c);
}

static void *serve(void *arg)
{
    int port = *(int *)arg;
    int lfd = listen_on(port);
    int ep = epoll_create1(EPOLL_CLOEXEC);
    if (ep < 0) {
        perror("epoll_create1");
        exit(1);
    }
    struct epoll_event ev = { .events = EPOLLIN, .data.ptr = NULL };
    epoll_ctl(ep, EPOLL_CTL_ADD, lfd, &ev);
    struct epoll_event events[MAX_EVENTS];
    for (;;) {
        int n = epoll_wait(ep, events, MAX_EVENTS, -1);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            perror("epoll_wait");
            exit(1);
        }
        for (int i = 0; i < n; i++) {
            struct conn *c = events[i].data.ptr;
            if (c == NULL) {
                for (;;) {
                    int fd = accept4(lfd, NULL, NULL, SOCK_NONBLOCK | SOCK_CLOEXEC);
                    if (fd < 0)
                        break;
                    struct conn *nc = calloc(1, sizeof *nc);
                    if (nc == NULL || (nc->buf = malloc(16384)) == NULL) {
                        free(nc);
                        close(fd);
                        continue;
                    }
                    nc->fd = fd;
                    nc->cap = 16384;
                    nc->events = EPOLLIN;
                    struct epoll_event cev = { .events = EPOLLIN, .data.ptr = nc };
                    epoll_ctl(ep, EPOLL_CTL_ADD, fd, &cev);
                }
            } else if (c->writing) {
                advance(ep, c);
            } else {
                on_readable(ep, c);
            }
        }
    }
    return NULL;
}

int main(int argc, char **argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: %s PORT [THREADS [keep-alive]]\n", argv[0]);
        return 2;
    }
    keep_alive_mode = argc > 3 && strcmp(argv[3], "keep-alive") == 0;
    static int port;
    port = atoi(argv[1]);
    int threads = argc > 2 ? atoi(argv[2]) : 1;
    if (threads < 1)
        threads = 1;
    signal(SIGPIPE, SIG_IGN);
    for (int i = 1; i < threads; i++) {
        pthread_t t;
        if (pthread_create(&t, NULL, serve, &port) != 0) {
            perror("pthread_create");
            return 1;
        }
    }
    serve(&port);
    return 0;
}
