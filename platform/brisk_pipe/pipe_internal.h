// Pieces shared by the server and client halves of libbrisk_pipe.
#ifndef BRISK_PIPE_INTERNAL_H
#define BRISK_PIPE_INTERNAL_H

#include <sys/un.h>
#include <cerrno>
#include <cstddef>

#include "brisk_pipe.h"

// Files inside a pipe directory. Other programs rely on these names.
#define PIPE_DATA_FILE "data"
#define PIPE_CONTROL_FILE "control"
#define PIPE_INFO_FILE "info"

// How often a client whose server went away tries to connect again.
#define PIPE_RECONNECT_PERIOD_MS 50

// Send buffer asked for each client socket on the server side, so a client
// that is merely a bit slow loses nothing (the kernel caps it at wmem_max).
#define PIPE_CLIENT_SNDBUF (4 * 1024 * 1024)

namespace brisk_pipe {

// Runs a system call again while it fails with EINTR.
template <typename F>
auto retry_eintr(F f) -> decltype(f()) {
    decltype(f()) r;
    do {
        r = f();
    } while (r < 0 && errno == EINTR);
    return r;
}

// location (with trailing '/') + file into out (size bytes). false when it
// does not fit.
bool join_path(char* out, size_t size, const char* location, const char* file);

// Fills addr with the socket file path; false when the path does not fit.
bool unix_address(const char* path, sockaddr_un& addr);

// Connects a fresh SOCK_SEQPACKET or SOCK_DGRAM socket (type) to the socket
// file at path without ever blocking in connect. Returns the blocking,
// close-on-exec socket, or -errno.
int connect_unix(const char* path, int type);

}  // namespace brisk_pipe

#endif
