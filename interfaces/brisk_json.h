// JSON file helpers of the Brisk platform; the platform's libbrisk_json
// provides them at run time, together with the cJSON tree functions.
#ifndef BRISK_JSON_H
#define BRISK_JSON_H

#include <cjson/cJSON.h>

#ifdef __cplusplus
extern "C" {
#endif

// Creates path holding "{}\n" when it does not exist. Returns 0 when the file
// exists, 1 when it was created, -1 when it was missing and could not be made.
int json_make_empty_file_if_missing(const char* path);

// Parses the file, skipping a leading comment block (/* ... */ blocks and //
// lines, white space between). Text after the JSON value is an error.
// Returns a tree the caller frees with cJSON_Delete, or NULL after printing
// one line on stderr with the path and where parsing stopped (line, column).
cJSON* json_read_file(const char* path);

// Copies the string member name of parent into str (at most maxlen bytes with
// the terminator), or default_val when the member is missing or not a string.
// str always ends terminated. Returns 0 when the member was found, 1 when the
// default was used, -1 on bad arguments.
int json_fetch_string_with_default(cJSON* parent, const char* name, char* str,
                                   int maxlen, const char* default_val);

// Replace path atomically (temporary file in the same folder, write, fsync,
// rename) keeping an existing file's permissions; on failure the old file is
// left as it was and no temporary file remains. The header text is written
// verbatim before the JSON. obj stays the caller's. 0 or -1.
int json_write_to_file(const char* path, cJSON* obj);
int json_write_to_file_with_header(const char* path, cJSON* obj, const char* header);

#ifdef __cplusplus
}
#endif
#endif
