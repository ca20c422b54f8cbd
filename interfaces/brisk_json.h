// JSON file helpers of the Brisk platform; the platform's libbrisk_json
// provides them at run time, together with the cJSON tree functions.
#ifndef BRISK_JSON_H
#define BRISK_JSON_H

#include <cjson/cJSON.h>

#ifdef __cplusplus
extern "C" {
#endif

// Largest settings file json_read_file reads, and most values in it; a
// bigger one is refused with one line. A receiver's settings file is a few
// kilobytes; within these limits a read costs a few megabytes at most (the
// text, and a cJSON node of about 64 bytes per value).
#define JSON_MAX_FILE_SIZE (1024 * 1024)
#define JSON_MAX_FILE_SIZE_TEXT "1 MiB"
#define JSON_MAX_VALUES 65536
#define JSON_MAX_VALUES_TEXT "65536"

// Longest wait for the writers' lock of a file, in milliseconds.
#define JSON_LOCK_WAIT_MS 10000

// Creates path holding "{}\n" when it does not exist. Returns 0 when the file
// exists, 1 when it was created, -1 when it was missing and could not be made.
int json_make_empty_file_if_missing(const char* path);

// Parses the file, skipping a leading comment block (/* ... */ blocks and //
// lines, white space between). Text after the JSON value is an error.
// Returns a tree the caller frees with cJSON_Delete, or NULL after printing
// one line on stderr with the path and where parsing stopped (line, column).
// Only a regular file of at most JSON_MAX_FILE_SIZE bytes is read: a FIFO,
// a device or a bigger file gives NULL and one line naming the path; the
// open never waits.
cJSON* json_read_file(const char* path);

// Copies the string member name of parent into str (at most maxlen bytes with
// the terminator), or default_val when the member is missing or not a string.
// str always ends terminated. Returns 0 when the member was found, 1 when the
// default was used, -1 on bad arguments.
int json_fetch_string_with_default(cJSON* parent, const char* name, char* str, int maxlen, const char* default_val);

// Replace path atomically (temporary file in the same folder, write, fsync,
// rename) keeping an existing file's permissions; on failure the old file is
// left as it was and no temporary file remains. The header text is written
// verbatim before the JSON. obj stays the caller's. 0 or -1. An existing
// path that is not a regular file (a FIFO, a device) is not replaced.
//
// Each write holds the writers' lock of path (json_lock_file) while it
// replaces the file, so writes of one file by several processes or threads
// happen one after the other.
int json_write_to_file(const char* path, cJSON* obj);
int json_write_to_file_with_header(const char* path, cJSON* obj, const char* header);

// The writers' lock of path: an advisory, exclusive lock that every write
// of this library takes, and that a caller takes around a read-modify-write
// (read the file, change the tree, write it back) so no other writer's
// change lands in between and is lost. The lock is an flock on
// "<path>.lock" beside path, which exists only while the lock is held;
// it dies with its process, so a killed writer never leaves it held.
// Reentrant within a thread: a thread holding it may take it again and may
// call the writes, which then do not wait for it; every json_lock_file
// that returned 0 is matched by one json_unlock_file. Waits at most
// JSON_LOCK_WAIT_MS; returns 0, or -1 after one line on stderr naming the
// lock file. Other processes that write path without this library are not
// held back: the lock is advisory.
int json_lock_file(const char* path);
void json_unlock_file(const char* path);

#ifdef __cplusplus
}
#endif
#endif
