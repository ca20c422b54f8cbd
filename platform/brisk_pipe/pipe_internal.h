// Pieces shared by the server and client halves of libbrisk_pipe.
#ifndef BRISK_PIPE_INTERNAL_H
#define BRISK_PIPE_INTERNAL_H

#include <sys/types.h>
#include <sys/un.h>
#include <cerrno>
#include <cstddef>

#include "brisk_pipe.h"
#include "fd_io.h"

// Files inside a pipe directory. Other programs rely on these names.
#define PIPE_DATA_FILE "data"
#define PIPE_CONTROL_FILE "control"
#define PIPE_INFO_FILE "info"
// Held with flock by the one server that publishes in the folder.
#define PIPE_LOCK_FILE "lock"
// What each client lost because it did not read fast enough: one line
// "PID CHUNKS BYTES" per client that lost anything, rewritten (a new file
// renamed over the old) at most once a second while the counts change.
#define PIPE_DROPS_FILE "drops"

// Modes of what a server creates, set explicitly whatever the umask: any
// local user may subscribe, only the server's own user (and root) may send
// commands.
#define PIPE_FOLDER_MODE 0755
#define PIPE_DATA_MODE 0666
#define PIPE_CONTROL_MODE 0600
#define PIPE_INFO_MODE 0644
#define PIPE_LOCK_MODE 0600

// How often a client whose server went away tries to connect again.
#define PIPE_RECONNECT_PERIOD_MS 50

// Send buffer asked for each client socket on the server side, so a client
// that is merely a bit slow loses nothing (the kernel caps it at wmem_max
// unless the server may force it, and counts it twice). A client of another
// user gets the small one: what never-reading strangers can pin stays small.
#define PIPE_CLIENT_SNDBUF (4 * 1024 * 1024)
#define PIPE_FOREIGN_CLIENT_SNDBUF (256 * 1024)

// Clients one server channel keeps at most, unless the environment variable
// below says otherwise (1 to 4096). A quarter of the places, at least one,
// is kept for clients of root and the server's own user.
#define PIPE_DEFAULT_MAX_CLIENTS 64
#define PIPE_MAX_CLIENTS_ENV "BRISK_PIPE_MAX_CLIENTS"

namespace brisk_pipe {

using tarn_io::retry_eintr;

// location (with trailing '/') + file into out (size bytes). false when it
// does not fit.
bool join_path(char* out, size_t size, const char* location, const char* file);

// Fills addr with the socket file path; false when the path does not fit.
bool unix_address(const char* path, sockaddr_un& addr);

// Connects a fresh SOCK_SEQPACKET or SOCK_DGRAM socket (type) to the socket
// file at path without ever blocking in connect. Returns the blocking,
// close-on-exec socket, or -errno.
int connect_unix(const char* path, int type);

// True for root and for the user this process runs as: the only peers whose
// servers, folders and commands are trusted.
bool trusted_uid(uid_t uid);

// Records why the call that returns code failed, naming the path, for
// pipe_print_error on this thread. Returns code.
int fail(int code, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
// Forgets the failure recorded on this thread.
void clear_failure();

// Opens the pipe folder at location (ending in '/') one component at a time
// from "/", never through a symlink that anybody but root or this user
// made, and checks every folder on the way: owned by root or this user and
// not writable by group or others (a sticky folder above the pipe folder,
// such as /tmp, is fine). With create, missing folders are made with mode
// 0755. Returns the pipe folder's descriptor or a negative code recorded
// with fail(); a missing folder is PIPE_ERROR_SERVER_NOT_AVAILABLE.
//
// With delegate (clients), trust also follows delegation: a pipe folder of
// another user S is accepted when it was handed to S by a trusted owner.
// The folder above it must then be writable by its owner alone (no sticky
// exception) and owned by root, this user or S; when it is S's too, the
// folder above that must be root's or this user's, writable by its owner
// alone. *delegate is then S (the server's user to accept), else this
// process's effective user.
int open_trusted_folder(const char* location, bool create, uid_t* delegate = nullptr);

}  // namespace brisk_pipe

#endif
