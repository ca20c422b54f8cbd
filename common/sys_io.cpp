// The one layer through which the radio functions reach the system: shell
// commands, popen, kernel files and directories. Calls to the system are
// wrapped here so that a hook can watch every command text and path and make
// any access fail.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <fmt/format.h>

#include "sys_io.h"
#include "tarn_common.h"

namespace {

tarn_io_hook_t io_hook = nullptr;
void* io_hook_context = nullptr;

bool access_allowed(tarn_io_op op, const std::string& target)
{
    if (io_hook == nullptr || io_hook(op, target, io_hook_context)) {
        return true;
    }
    errno = EACCES;
    return false;
}

// Shows a refused value on one line: control and non-ASCII bytes escaped.
std::string printable(const std::string& value)
{
    std::string out;
    for (unsigned char c : value) {
        if (c >= 0x20 && c < 0x7f && c != '\\') {
            out += static_cast<char>(c);
        } else {
            out += fmt::format("\\x{:02x}", c);
        }
    }
    return out;
}

// A name that goes into a shell command text or a path as one word: not
// empty, not an option ('-' first), no shell comment ('#' first), only
// printable ASCII, and none of the characters a shell interprets, nor
// white space, nor '/'.
bool is_plain_word(const std::string& s)
{
    if (s.empty() || s[0] == '-' || s[0] == '#') {
        return false;
    }
    for (unsigned char c : s) {
        if (c <= 0x20 || c >= 0x7f || strchr(";&|$`'\"<>()*?[]{}~!\\/", c) != nullptr) {
            return false;
        }
    }
    return true;
}

bool accept(bool valid, const char* func, const char* what, const std::string& value)
{
    if (!valid) {
        fmt::print(stderr, "{}: refusing {} \"{}\"\n", func, what, printable(value));
        fflush(stderr);
    }
    return valid;
}

} // namespace

void tarn_set_io_hook(tarn_io_hook_t hook, void* context)
{
    io_hook = hook;
    io_hook_context = context;
}

int tarn_system(const std::string& command)
{
    if (!access_allowed(TARN_IO_SYSTEM, command)) {
        return -1;
    }
    return system(command.c_str());
}

bool tarn_popen_read(const std::string& command, std::string* output, int* status)
{
    if (output != nullptr) {
        output->clear();
    }
    if (!access_allowed(TARN_IO_POPEN, command)) {
        return false;
    }
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return false;
    }
    // fread, not fgets: the output may hold NUL bytes and must come back whole.
    char buf[512];
    for (;;) {
        size_t n = fread(buf, 1, sizeof buf, pipe);
        if (n > 0 && output != nullptr) {
            output->append(buf, n);
        }
        if (n == sizeof buf) {
            continue;
        }
        if (ferror(pipe) && errno == EINTR) {
            clearerr(pipe);
            continue;
        }
        break;
    }
    int st = pclose(pipe);
    if (status != nullptr) {
        *status = st;
    }
    return true;
}

int tarn_read_file(const std::string& path, std::string* content)
{
    content->clear();
    if (!access_allowed(TARN_IO_READ, path)) {
        return -1;
    }
    int fd;
    do {
        fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        return -1;
    }
    char buf[4096];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        content->append(buf, static_cast<size_t>(n));
    }
    close(fd);
    return 0;
}

int tarn_write_file(const std::string& path, const std::string& data)
{
    if (!access_allowed(TARN_IO_WRITE, path)) {
        return -1;
    }
    int fd;
    do {
        fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        return -1;
    }
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            int saved = (n < 0) ? errno : EIO;
            close(fd);
            errno = saved;
            return -2;
        }
        done += static_cast<size_t>(n);
    }
    // close is not retried: on Linux the descriptor is gone even after EINTR.
    if (close(fd) != 0 && errno != EINTR) {
        return -2;
    }
    return 0;
}

int tarn_list_dir(const std::string& path, std::vector<std::string>* names)
{
    names->clear();
    if (!access_allowed(TARN_IO_LIST_DIR, path)) {
        return -1;
    }
    DIR* dir = opendir(path.c_str());
    if (dir == nullptr) {
        return -1;
    }
    while (const dirent* entry = readdir(dir)) {
        names->emplace_back(entry->d_name);
    }
    closedir(dir);
    return 0;
}

bool is_valid_interface_name(const std::string& name)
{
    // The kernel itself never names an interface "." or "..".
    return name.size() <= 15 && name != "." && name != ".." && is_plain_word(name);
}

bool is_valid_service_name(const std::string& name)
{
    return name.size() <= 255 && name != "." && name != ".." && is_plain_word(name);
}

bool is_valid_bus_port_name(const std::string& name)
{
    // The kernel names a USB device by bus and port path: 1-1.2.
    if (name.empty() || name[0] < '0' || name[0] > '9') {
        return false;
    }
    for (char c : name) {
        if (!((c >= '0' && c <= '9') || c == '-' || c == '.')) {
            return false;
        }
    }
    return true;
}

bool is_valid_phy_name(const std::string& name)
{
    return name.size() <= 64 && name != "." && name != ".." && is_plain_word(name);
}

bool accept_interface_name(const char* func, const std::string& name)
{
    return accept(is_valid_interface_name(name), func, "interface name", name);
}

bool accept_service_name(const char* func, const std::string& name)
{
    return accept(is_valid_service_name(name), func, "service name", name);
}

bool accept_bus_port_name(const char* func, const std::string& name)
{
    return accept(is_valid_bus_port_name(name), func, "USB bus-port name", name);
}

bool accept_phy_name(const char* func, const std::string& name)
{
    return accept(is_valid_phy_name(name), func, "PHY name", name);
}
