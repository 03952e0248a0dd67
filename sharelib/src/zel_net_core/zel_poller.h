// Pollers behind one operations record: a select-based one (descriptors 0 to FD_SETSIZE - 1) and an
// epoll-based one. A wait reports at most one ready descriptor per call.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

enum {
    ZEL_POLL_READ = 1,
    ZEL_POLL_WRITE = 4,
    ZEL_POLL_ERROR = 8,
    ZEL_POLL_RELEASED = 0x4000000,  // given to loop callbacks when the loop is released
};

typedef struct zel_poller zel_poller_t;

typedef struct zel_poller_ops {
    zel_poller_t *(*create)(int max_events);
    void (*release)(zel_poller_t *poller);
    // 0; -2 for a bad descriptor (for select: outside 0 .. FD_SETSIZE - 1) or flags; -10 when the
    // descriptor is registered already; -1 when the system refuses (logged).
    int (*add_fd)(zel_poller_t *poller, int fd, int flags);
    // 0; -2 bad descriptor; -4 not registered; -1 refused. Flags 0 keep the descriptor but disarm it.
    int (*mod_fd)(zel_poller_t *poller, int fd, int flags);
    // 0; -2 bad descriptor; -4 not registered.
    int (*remove_fd)(zel_poller_t *poller, int fd);
    // 1 with *fd and *events set for one ready descriptor; 0 when none is ready within timeout_ms (or
    // a signal came); -1 when the poller fails (logged; its state is reset, a later wait may work).
    int (*wait)(zel_poller_t *poller, int timeout_ms, int *fd, int *events);
} zel_poller_ops;

const zel_poller_ops *zel_select_poller(void);
const zel_poller_ops *zel_epoll_poller(void);

#ifdef __cplusplus
}
#endif
