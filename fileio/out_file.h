// The one way every program of this project opens a file it writes: the
// inspector's and tarn-vrx-top's CSV log, the report's plots, the JSON
// files of libbrisk_json. Other local users are not trusted:
//
// - A symbolic link, at the end of the path or at any folder of it, is
//   followed only when root or this user (the effective user) made it; its
//   target is then checked the same way, up to 40 links. A link of anyone
//   else is refused, dangling or not.
// - What is opened must be one of:
//     a regular file owned by this user (which is root when we are root)
//     with exactly one name (a hard link of someone else's file is not
//     ours to write);
//     a file created here and now (O_EXCL), so it cannot be anyone else's;
//     with OUT_STREAM_OK only (the CSV log): a FIFO or a character device
//     (/dev/null, a terminal) owned by root or this user, which someone
//     with the right to put it there meant to receive the lines. A FIFO is
//     opened without blocking: one with no reader is refused ("no process
//     reads the FIFO"), never waited for.
//   Anything else is refused, before a byte is written.
// - The checks are made with fstat on the descriptor that was opened (and
//   with O_NOFOLLOW, so a link swapped in after a look is refused, not
//   followed), never by a look at the path before the open.
// - In a folder others may write (sticky or not, /tmp included) the same
//   rule means a file is only written when it is ours, or created new.
//
// A refusal gives -1 and one short reason in words ("is a link of user
// 65534, not followed"); the caller prints it after the path.
#ifndef TARN_OUT_FILE_H
#define TARN_OUT_FILE_H

#include <sys/stat.h>
#include <sys/types.h>

#include <string>

namespace tarn_io {

enum out_flags : unsigned {
    OUT_APPEND = 1u << 0,     // append to what is there (else start empty)
    OUT_CREATE = 1u << 1,     // create the file when it is missing
    OUT_NEW_ONLY = 1u << 2,   // only a file created by this call (O_EXCL)
    OUT_STREAM_OK = 1u << 3,  // a FIFO or character device of ours is fine
};

// Opens path for writing under the rule above. Returns the descriptor
// (close-on-exec; for a FIFO non-blocking, otherwise blocking), or -1 with
// why set to the reason and errno to the system's (0 for a refusal of the
// rule). mode is the mode of a file created, before the umask. A regular
// file opened without OUT_APPEND is emptied only after it passed the checks.
int open_output(const char* path, unsigned flags, mode_t mode, std::string& why);

// Where a file at path would be written: the folder (an O_PATH descriptor
// the caller closes) and the name in it, found by following only the links
// the rule allows. Lets a writer that replaces a file (a temporary file
// beside it, then a rename) work in the same folder without looking the
// path up again. False with why set when the path is refused or a folder
// of it cannot be opened.
struct out_place {
    int dir_fd = -1;
    std::string name;
};
bool find_output_place(const char* path, out_place& place, std::string& why);

// open_output for the file name in the folder dir_fd (from
// find_output_place); name must be a plain name, not a path.
int open_output_at(int dir_fd, const char* name, unsigned flags, mode_t mode, std::string& why);

// The owner check of the rule for an object already there: true when st
// may be written by this process (regular, ours, one name; or with
// stream_ok a FIFO or character device of root or ours). why names the
// reason otherwise.
bool output_object_ok(const struct stat& st, bool stream_ok, std::string& why);

}  // namespace tarn_io

#endif
