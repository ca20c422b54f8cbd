// Pipe transport of the Brisk Pipe Architecture: named pipes under /run/bpa/,
// servers publish byte chunks, clients receive them on a reader thread.
// Declarations the tarn programs rely on; the platform's libbrisk_pipe
// provides them at run time.
#ifndef BRISK_PIPE_H
#define BRISK_PIPE_H

#include <cjson/cJSON.h>

#ifdef __cplusplus
extern "C" {
#endif

// Directory that holds every named pipe, and the longest location accepted
// (characters, not counting the terminator).
#define PIPE_DIR "/run/bpa/"
#define PIPE_MAX_LOCATION_LEN 63
#define PIPE_MAX_NAME_LEN 63
#define PIPE_CLIENT_MAX_CHANNELS 16
#define PIPE_SERVER_MAX_CHANNELS 16
// Longest control command, in bytes.
#define PIPE_MAX_CONTROL_LEN 4096

// Client flag: deliver every received chunk through the simple helper callback.
#define CLIENT_FLAG_EN_SIMPLE_HELPER 1

// Error codes returned (negated values are never used: all codes are < 0).
#define PIPE_ERROR_OTHER -1
#define PIPE_ERROR_SERVER_NOT_AVAILABLE -2
#define PIPE_ERROR_REACHED_MAX_NAME_INDEX -3
#define PIPE_ERROR_FILE_IO -4
#define PIPE_ERROR_TIMEOUT -5
#define PIPE_ERROR_INVALID_ARG -6
#define PIPE_ERROR_NOT_CONNECTED -7
#define PIPE_ERROR_CTRL_NOT_AVAILABLE -8
#define PIPE_ERROR_INFO_NOT_AVAILABLE -9
#define PIPE_ERROR_CHANNEL_OOB -10
#define PIPE_ERROR_CHANNEL_IN_USE -11
// The caller may not use the pipe's folder or sockets.
#define PIPE_ERROR_PERMISSION_DENIED -12
// The pipe folder, or one above it, is writable by others or belongs to a
// user other than root and the caller; a symlink made by such a user.
#define PIPE_ERROR_UNTRUSTED_FOLDER -13
// The process serving the pipe runs as neither root nor the caller's user.
#define PIPE_ERROR_UNTRUSTED_PEER -14

// Image format codes known to pipe_image_format_to_string.
#define IMAGE_FORMAT_RAW8 0
#define IMAGE_FORMAT_NV12 1
#define IMAGE_FORMAT_STEREO_RAW8 2
#define IMAGE_FORMAT_H264 3
#define IMAGE_FORMAT_H265 4
#define IMAGE_FORMAT_RGB 5
#define IMAGE_FORMAT_YUV420 6

// Process-wide running flag. enable_signal_handler() makes SIGINT, SIGTERM
// and SIGHUP store 0 here; the program sets it to 1 itself.
extern volatile int main_running;

// Installs the handler described above and ignores SIGPIPE. 0 or -1.
int enable_signal_handler(void);

// Turns a pipe name or partial path into a full location: "vrx_latency" and
// "vrx_latency/" become "/run/bpa/vrx_latency/", "cam/vrx_latency" becomes
// "/run/bpa/cam/vrx_latency/", and an absolute path is kept (adding the
// trailing '/'). out must hold 64 bytes and may be in itself. Returns 0, or
// PIPE_ERROR_INVALID_ARG (out set to "") for an empty name, a character
// other than letters, digits and "_.-/",
// an empty, "." or ".." component, or a result longer than 63 characters.
int pipe_expand_location_string(const char* in, char* out);

// Prints one line on stderr naming the failure behind an error code. Right
// after a call on this thread failed with e, the line names the location or
// path and the reason ("no server publishes at /run/bpa/vrx_latency/, is it
// running?").
void pipe_print_error(int e);

// ---- client side --------------------------------------------------------
// Callbacks run on the channel's reader thread, never concurrently for one
// channel. The data pointer is valid only during the call. Callbacks may be
// set at any time; they stay registered across close and open.
typedef void (*pipe_client_simple_cb)(int ch, char* data, int bytes, void* context);
typedef void (*pipe_client_connect_cb)(int ch, void* context);
typedef void (*pipe_client_disc_cb)(int ch, void* context);

int pipe_client_set_simple_helper_cb(int ch, pipe_client_simple_cb cb, void* context);
int pipe_client_set_connect_cb(int ch, pipe_client_connect_cb cb, void* context);
int pipe_client_set_disconnect_cb(int ch, pipe_client_disc_cb cb, void* context);

// Subscribes channel ch to the pipe at name_or_location as client_name.
// Returns 0, or a negative code at once: PIPE_ERROR_SERVER_NOT_AVAILABLE when
// no server publishes there, PIPE_ERROR_CHANNEL_IN_USE when ch is open,
// PIPE_ERROR_PERMISSION_DENIED, PIPE_ERROR_UNTRUSTED_FOLDER when the pipe
// folder or one above it is not safe, PIPE_ERROR_UNTRUSTED_PEER when the
// server runs as neither root nor this user (the reader never connects to
// such a server either).
// After success the reader thread calls the connect callback for this and
// every later connection, the disconnect callback on every loss, and
// reconnects by itself (every 50 ms) once the server is back. flags: 0 or
// CLIENT_FLAG_EN_SIMPLE_HELPER, both deliver through the simple callback.
// buf_size (1 byte to 64 MiB) bounds each delivered chunk: a chunk larger
// than it is dropped whole, with a line on stderr, never cut.
int pipe_client_open(int ch, const char* name_or_location, const char* client_name, int flags, int buf_size);
// Closes one channel / all channels; once these return no callback runs and
// the disconnect callback is not called for it. A callback may close its own
// channel: the call returns at once, no further callback follows, and the
// channel can be opened again once the reader thread has ended (until then
// open gives PIPE_ERROR_CHANNEL_IN_USE). A callback must not close another
// channel whose callback may be closing this one (they would wait on each
// other). 0 or PIPE_ERROR_CHANNEL_OOB; closing a closed channel is fine.
int pipe_client_close(int ch);
void pipe_client_close_all(void);

// ---- control -------------------------------------------------------------
// Delivers cmd (a terminated text of 1 to PIPE_MAX_CONTROL_LEN bytes) to the
// control callback of the server publishing name_or_location, as one
// message. 0, PIPE_ERROR_CTRL_NOT_AVAILABLE when nothing listens there,
// PIPE_ERROR_TIMEOUT when the server has not read its earlier commands,
// PIPE_ERROR_UNTRUSTED_FOLDER / _PEER / PERMISSION_DENIED as for open. The
// server runs only commands of root and of its own user.
int pipe_send_control_cmd(const char* name_or_location, const char* cmd);

// ---- server side ---------------------------------------------------------
// Runs on the channel's server thread; cmd is terminated, bytes excludes the
// terminator. It may call pipe_server_close(ch).
typedef void (*pipe_server_control_cb)(int ch, char* cmd, int bytes, void* context);

// Publishes a pipe on server channel ch: creates the directory (and its
// parents, mode 0755), takes the folder's lock, replaces stale socket files
// and writes the info file. flags: reserved, pass 0. 0 or negative;
// PIPE_ERROR_CHANNEL_IN_USE when ch is open or a live server already
// publishes at that location, PIPE_ERROR_UNTRUSTED_FOLDER when a folder of
// the location belongs to another user or others may write it. At most 64
// clients (environment variable BRISK_PIPE_MAX_CLIENTS) are kept; more are
// closed at once.
int pipe_server_create(int ch, const char* name_or_location, int flags);
// Sends one chunk (bytes > 0) to every connected client without ever
// blocking: a client that cannot take it now loses this whole chunk. Returns
// the number of clients that received it, or a negative code. Safe from any
// thread.
int pipe_server_write(int ch, const void* data, int bytes);
int pipe_server_get_num_clients(int ch);

// What a server channel refused since it was created.
typedef struct pipe_server_stats_t {
    unsigned long long clients_refused;    // connections over the client limit, closed at once
    unsigned long long control_refused;    // commands from users other than root and the server's own
    unsigned long long control_malformed;  // empty or oversize command datagrams
} pipe_server_stats_t;
// 0 and *out filled, or a negative code.
int pipe_server_get_stats(int ch, pipe_server_stats_t* out);
void pipe_server_set_control_cb(int ch, pipe_server_control_cb cb, void* context);
// Removes the pipe's files and directory (when empty) and disconnects every
// client; clients reconnect when a server comes back at that location.
int pipe_server_close(int ch);
void pipe_server_close_all(void);

// The channel's info object ("name", "location", "type", "server_name",
// "server_pid", ...). Owned by the library: edit it, never free it; it is
// freed by pipe_server_close. Edit it from one thread at a time and not
// while another thread runs pipe_server_update_info on it. Null when the
// channel is not open.
cJSON* pipe_server_get_info_json_ptr(int ch);
// Rewrites the pipe's info file from that object, atomically. 0 or negative.
int pipe_server_update_info(int ch);

// Name of an image format code, "UNKNOWN" for codes it does not know.
const char* pipe_image_format_to_string(int format);

#ifdef __cplusplus
}
#endif
#endif
