// Retrying a call a signal interrupted, and writing a whole buffer to a
// descriptor. Header only, part of tarn-fileio, which the platform
// libraries, tarn-common and the programs all link. Not installed.
#ifndef TARN_FD_IO_H
#define TARN_FD_IO_H

#include <cerrno>
#include <cstddef>

#include <sys/types.h>
#include <unistd.h>

namespace tarn_io {

// Runs a system call again while it fails with EINTR.
template <typename F>
auto retry_eintr(F f) -> decltype(f())
{
    decltype(f()) r;
    do {
        r = f();
    } while (r < 0 && errno == EINTR);
    return r;
}

using write_fn_t = ssize_t (*)(int fd, const void* data, size_t size);

// Writes size bytes from data to fd, going on after short writes and after
// EINTR. Returns the number of bytes written: size, or fewer when a write
// failed (errno tells why; a write that took nothing gives ENOSPC). write_fn
// is the call that writes; a test may give one that injects faults.
inline size_t write_all(int fd, const void* data, size_t size, write_fn_t write_fn = ::write)
{
    const char* p = static_cast<const char*>(data);
    size_t done = 0;
    while (done < size) {
        ssize_t n = write_fn(fd, p + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = ENOSPC;
            return done;
        }
        done += static_cast<size_t>(n);
    }
    return done;
}

}  // namespace tarn_io

#endif
