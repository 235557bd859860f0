// Sockets for test peers (HTTP servers, SSDP responders) on both systems: the few calls the
// tests make, with Winsock's and POSIX's differences (handle type, close, poll, option
// pointers, start-up) kept here.
#pragma once

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

typedef SOCKET tsock;
constexpr tsock TSOCK_BAD = INVALID_SOCKET;
constexpr short TSOCK_IN = POLLRDNORM;
constexpr int TSOCK_NOSIGNAL = 0;
// Taking a port held with SO_EXCLUSIVEADDRUSE fails with "access denied".
constexpr int TSOCK_PORT_TAKEN = WSAEACCES;

inline void tsock_startup() {
    static const int s_started = [] {
        WSADATA wd;
        return WSAStartup(MAKEWORD(2, 2), &wd);
    }();
    (void)s_started;
}
inline void tsock_close(tsock s) {
    closesocket(s);
}
inline int tsock_poll(tsock s, short events, int ms) {
    WSAPOLLFD p{s, events, 0};
    return WSAPoll(&p, 1, ms);
}
// Closing the socket then resets the connection instead of ending it in order.
inline void tsock_reset_on_close(tsock s) {
    linger l{1, 0};
    setsockopt(s, SOL_SOCKET, SO_LINGER, (const char *)&l, sizeof l);
}
// A port held so that nobody can share it, SO_REUSEADDR or not: Windows lets SO_REUSEADDR
// take over a port unless its holder asked for exclusive use.
inline void tsock_exclusive(tsock s) {
    BOOL on = TRUE;
    setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, (const char *)&on, sizeof on);
}
#else
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

typedef int tsock;
constexpr tsock TSOCK_BAD = -1;
constexpr short TSOCK_IN = POLLIN;
constexpr int TSOCK_NOSIGNAL = MSG_NOSIGNAL;
constexpr int TSOCK_PORT_TAKEN = EADDRINUSE;

inline void tsock_startup() {}
inline void tsock_close(tsock s) {
    close(s);
}
inline int tsock_poll(tsock s, short events, int ms) {
    pollfd p{s, events, 0};
    return poll(&p, 1, ms);
}
inline void tsock_reset_on_close(tsock s) {
    linger l{1, 0};
    setsockopt(s, SOL_SOCKET, SO_LINGER, &l, sizeof l);
}
inline void tsock_exclusive(tsock) {}
#endif

inline int tsock_setopt(tsock s, int level, int name, const void *v, int len) {
    return setsockopt(s, level, name, (const char *)v, (socklen_t)len);
}
