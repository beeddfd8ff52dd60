/*
 * FastCGI echo application for the benchmark, run as a pool of processes by
 * spawn-fcgi behind nginx.  Each request's body comes back unchanged as the
 * reply body with Content-Type application/json.  The listening socket is
 * descriptor 0, as spawn-fcgi hands it over.
 *
 * With an argument, a request for a path ending in "/slow" waits that many
 * milliseconds before it is answered, as the orv echo worker does for its
 * action "slow": the burst measurement gives both the same work time.
 */
#include <fcgiapp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

static int ends_with(const char *text, const char *suffix)
{
    size_t n = strlen(text), m = strlen(suffix);
    return n >= m && strcmp(text + n - m, suffix) == 0;
}

int main(int argc, char **argv)
{
    long slow_ms = argc > 1 ? atol(argv[1]) : 0;
    if (FCGX_Init() != 0) {
        fprintf(stderr, "fcgi_echo: FCGX_Init failed\n");
        return 1;
    }
    FCGX_Request request;
    if (FCGX_InitRequest(&request, 0, 0) != 0) {
        fprintf(stderr, "fcgi_echo: FCGX_InitRequest failed\n");
        return 1;
    }
    size_t capacity = 0;
    char *body = NULL;
    while (FCGX_Accept_r(&request) == 0) {
        const char *length_text = FCGX_GetParam("CONTENT_LENGTH", request.envp);
        long length = length_text != NULL ? strtol(length_text, NULL, 10) : 0;
        if (length < 0)
            length = 0;
        if ((size_t)length > capacity) {
            char *grown = realloc(body, (size_t)length);
            if (grown == NULL) {
                FCGX_FPrintF(request.out, "Status: 500 Internal Server Error\r\n\r\n");
                FCGX_Finish_r(&request);
                continue;
            }
            body = grown;
            capacity = (size_t)length;
        }
        int got = 0;
        while (got < length) {
            int n = FCGX_GetStr(body + got, (int)length - got, request.in);
            if (n <= 0)
                break;
            got += n;
        }
        const char *uri = FCGX_GetParam("REQUEST_URI", request.envp);
        if (slow_ms > 0 && uri != NULL && ends_with(uri, "/slow")) {
            struct timespec wait = { slow_ms / 1000, (slow_ms % 1000) * 1000000L };
            while (nanosleep(&wait, &wait) != 0) {
            }
        }
        FCGX_FPrintF(request.out,
                     "Status: 200 OK\r\nContent-Type: application/json\r\n"
                     "Content-Length: %d\r\n\r\n", got);
        FCGX_PutStr(body, got, request.out);
        FCGX_Finish_r(&request);
    }
    free(body);
    return 0;
}
