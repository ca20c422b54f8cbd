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

#include "fd_io.h"
#include "sys_io.h"
#include "tarn_common.h"

namespace {

tarn_io_hook_t io_hook = nullptr;
void* io_hook_context = nullptr;
tarn_io_fault_t io_fault = nullptr;
void* io_fault_context = nullptr;

// How much of a read or write of size bytes the fault hook lets through:
// size, fewer, or -1 (errno set) when the call must fail without being made.
ssize_t allowed_size(tarn_io_op op, int fd, size_t size)
{
    if (io_fault == nullptr) return static_cast<ssize_t>(size);
    const long r = io_fault(op, fd, size, io_fault_context);
    if (r < 0) return -1;
    if (r == 0 || static_cast<size_t>(r) > size) return static_cast<ssize_t>(size);
    return r;
}

ssize_t faulty_read(int fd, void* data, size_t size)
{
    const ssize_t n = allowed_size(TARN_IO_READ, fd, size);
    return n < 0 ? -1 : read(fd, data, static_cast<size_t>(n));
}

ssize_t faulty_write(int fd, const void* data, size_t size)
{
    const ssize_t n = allowed_size(TARN_IO_WRITE, fd, size);
    return n < 0 ? -1 : write(fd, data, static_cast<size_t>(n));
}

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

bool is_control(unsigned char c)
{
    return c < 0x20 || c == 0x7f;
}

// A name that goes into a shell command text as one plain word (and into a
// path): refused only for what the shell or the command would read
// specially there. Not empty; not starting with '-' (an option), '~' (a home
// folder), '#' (a comment) or '!' (negation); no white space or control
// character, no '/', and none of the shell's special characters
// ; & | $ ` ' " \ < > ( ) * ? [ ] { }. Everything else the kernel allows in
// a name is taken: '~', '!' and '#' inside a name, '@', '+', ':', ',', '=',
// '%', '^', bytes of UTF-8.
bool is_plain_word(const std::string& s)
{
    if (s.empty() || strchr("-~#!", s[0]) != nullptr) {
        return false;
    }
    for (unsigned char c : s) {
        if (c == ' ' || is_control(c) || strchr(";&|$`'\"\\<>()*?[]{}/", c) != nullptr) {
            return false;
        }
    }
    return true;
}

// A name that only enters a file path as one component: no '/', not "." or
// "..", no NUL or other control character. Blanks and any other byte are
// taken as they are; no shell ever sees it.
bool is_path_component(const std::string& s)
{
    if (s.empty() || s == "." || s == "..") {
        return false;
    }
    for (unsigned char c : s) {
        if (c == '/' || is_control(c)) {
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

}  // namespace

void tarn_set_io_hook(tarn_io_hook_t hook, void* context)
{
    io_hook = hook;
    io_hook_context = context;
}

void tarn_set_io_fault(tarn_io_fault_t fault, void* context)
{
    io_fault = fault;
    io_fault_context = context;
}

size_t tarn_write_all(int fd, const void* data, size_t size)
{
    return tarn_io::write_all(fd, data, size, faulty_write);
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
    int fd = tarn_io::retry_eintr([&] { return open(path.c_str(), O_RDONLY | O_CLOEXEC); });
    if (fd < 0) {
        return -1;
    }
    char buf[4096];
    for (;;) {
        ssize_t n = tarn_io::retry_eintr([&] { return faulty_read(fd, buf, sizeof buf); });
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
    int fd = tarn_io::retry_eintr([&] { return open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666); });
    if (fd < 0) {
        return -1;
    }
    if (tarn_write_all(fd, data.data(), data.size()) != data.size()) {
        const int saved = errno;
        close(fd);
        errno = saved;
        return -2;
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
    // Read from /sys and used only in a debugfs path.
    return name.size() <= 64 && is_path_component(name);
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
