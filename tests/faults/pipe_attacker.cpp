// A hostile local user for the pipe tests, run as an unprivileged user
// through setpriv. It uses plain sockets and files, never the pipe library,
// and prints one line of figures on stdout.
//
//   pipe_attacker plant DIR TARGET       make DIR (mode 0777) full of symlinks to TARGET
//   pipe_attacker link LINK TARGET       make the symlink LINK -> TARGET
//   pipe_attacker serve DIR SECONDS      publish forged latency records at DIR/data
//   pipe_attacker rebind DIR SECONDS     like serve, binding in DIR/.own then renaming it over DIR/data
//   pipe_attacker command PATH CMD N     send CMD N times to the control socket PATH
//   pipe_attacker flood PATH N SECONDS   open N connections to PATH, never read, hold them
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

bool address(const std::string& path, sockaddr_un& a)
{
    a = sockaddr_un{};
    a.sun_family = AF_UNIX;
    if (path.size() >= sizeof(a.sun_path)) return false;
    memcpy(a.sun_path, path.c_str(), path.size() + 1);
    return true;
}

double now_s()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9;
}

int plant(const std::string& dir, const std::string& target)
{
    if (mkdir(dir.c_str(), 0777) < 0 && errno != EEXIST) return perror("mkdir"), 1;
    chmod(dir.c_str(), 0777);
    int made = 0;
    for (const char* f : {"/.info.tmp", "/info", "/data", "/control", "/lock"})
        if (symlink(target.c_str(), (dir + f).c_str()) == 0) made++;
    printf("planted %d\n", made);
    return 0;
}

// Forged 60-byte latency records: magic, then ids from 6666601.
void forged_record(unsigned char* r, uint32_t id)
{
    memset(r, 0, 60);
    uint32_t magic = 0x5441524E;
    memcpy(r, &magic, 4);
    memcpy(r + 4, &id, 4);
}

int serve(const std::string& dir, double seconds, bool rebind)
{
    mkdir(dir.c_str(), 0777);
    std::string bound = rebind ? dir + "/.own" : dir + "/data";
    unlink(bound.c_str());
    sockaddr_un a;
    if (!address(bound, a)) return 1;
    int l = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK, 0);
    if (bind(l, reinterpret_cast<sockaddr*>(&a), sizeof(a)) < 0 || listen(l, 64) < 0) return perror("bind"), 1;
    chmod(bound.c_str(), 0777);
    if (rebind && rename(bound.c_str(), (dir + "/data").c_str()) < 0) return perror("rename"), 1;
    printf("ready\n");
    fflush(stdout);
    std::vector<int> clients;
    uint32_t id = 6666601;
    long sent = 0;
    double end = now_s() + seconds;
    while (now_s() < end) {
        int c = accept4(l, nullptr, nullptr, SOCK_NONBLOCK);
        if (c >= 0) clients.push_back(c);
        unsigned char r[60];
        forged_record(r, id++);
        for (int fd : clients)
            if (send(fd, r, sizeof(r), MSG_NOSIGNAL | MSG_DONTWAIT) == 60) sent++;
        usleep(1000);
    }
    fprintf(stderr, "forged records sent %ld to %zu clients\n", sent, clients.size());
    return 0;
}

int command(const std::string& path, const std::string& cmd, int n)
{
    sockaddr_un a;
    if (!address(path, a)) return 1;
    int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) < 0) {
        printf("sent 0 connect %s\n", strerror(errno));
        return 0;
    }
    int sent = 0;
    for (int i = 0; i < n; i++) {
        pollfd p{fd, POLLOUT, 0};
        if (poll(&p, 1, 2000) <= 0) break;
        if (send(fd, cmd.data(), cmd.size(), MSG_DONTWAIT) == static_cast<ssize_t>(cmd.size())) sent++;
    }
    printf("sent %d connect ok\n", sent);
    return 0;
}

int flood(const std::string& path, int n, double seconds)
{
    rlimit rl{};
    getrlimit(RLIMIT_NOFILE, &rl);
    rl.rlim_cur = rl.rlim_max;
    setrlimit(RLIMIT_NOFILE, &rl);
    sockaddr_un a;
    if (!address(path, a)) return 1;
    std::vector<int> fds;
    int connected = 0, failed = 0;
    for (int i = 0; i < n; i++) {
        int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK, 0);
        if (fd < 0) {
            failed++;
            continue;
        }
        if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0) {
            connected++;
            send(fd, "x", 1, MSG_NOSIGNAL | MSG_DONTWAIT);  // its "name"
            fds.push_back(fd);
        } else {
            failed++;
            close(fd);
            if (errno == EAGAIN) usleep(1000);  // the backlog is full for a moment
        }
    }
    usleep(static_cast<useconds_t>(seconds * 1e6));
    // How many the server still keeps: the others were closed at once.
    int kept = 0;
    for (int fd : fds) {
        char b;
        ssize_t r = recv(fd, &b, 1, MSG_DONTWAIT | MSG_PEEK);
        if (r > 0 || (r < 0 && errno == EAGAIN)) kept++;
    }
    printf("attempted %d connected %d failed %d kept %d\n", n, connected, failed, kept);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    setvbuf(stdout, nullptr, _IOLBF, 0);
    std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "plant" && argc == 4) return plant(argv[2], argv[3]);
    if (mode == "link" && argc == 4) return symlink(argv[3], argv[2]) == 0 ? 0 : (perror("symlink"), 1);
    if (mode == "serve" && argc == 4) return serve(argv[2], atof(argv[3]), false);
    if (mode == "rebind" && argc == 4) return serve(argv[2], atof(argv[3]), true);
    if (mode == "command" && argc == 5) return command(argv[2], argv[3], atoi(argv[4]));
    if (mode == "flood" && argc == 5) return flood(argv[2], atoi(argv[3]), atof(argv[4]));
    fprintf(stderr, "usage: see the top of pipe_attacker.cpp\n");
    return 2;
}
