/* The IPv4 loopback address, shared by the benchmark tools and their tests. */
#ifndef ZARVO_BENCH_LOOPBACK_H
#define ZARVO_BENCH_LOOPBACK_H

#include <netinet/in.h>
#include <stdint.h>
#include <string.h>

/* 127.0.0.1 with the given port; port 0 lets bind() choose one. */
static inline struct sockaddr_in loopback(int port)
{
    struct sockaddr_in sa;
    memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons((uint16_t)port);
    return sa;
}

#endif
