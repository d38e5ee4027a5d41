// What rasterview --listen asks of the system: its address and listening
// socket, the connections it takes, and the folder its jobs go to.
#ifndef _WIN32

#include "tools/rasterview/printer_io.h"

#include <dirent.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace rasterview::printer_io {

std::string Reason() { return std::strerror(errno); }

std::string JobPath(const std::string& dir, std::uint64_t number, const char* extension) {
    char name[48];
    std::snprintf(name, sizeof name, "job-%04llu.%s", static_cast<unsigned long long>(number), extension);
    return dir + "/" + name;
}

// The highest job number among DIR's job-NNNN.* files.
std::uint64_t LastJob(const std::string& dir) {
    std::uint64_t last = 0;
    DIR* folder = opendir(dir.c_str());
    if (!folder) return 0;
    while (const dirent* entry = readdir(folder)) {
        const char* name = entry->d_name;
        if (std::strncmp(name, "job-", 4) != 0) continue;
        std::uint64_t number = 0;
        const char* p = name + 4;
        for (; *p >= '0' && *p <= '9' && number < (1ull << 59); ++p) number = number * 10 + std::uint64_t(*p - '0');
        if (p > name + 4 && *p == '.' && number > last) last = number;
    }
    closedir(folder);
    return last;
}

bool SplitAddress(const std::string& text, std::string& host, std::string& port) {
    host = "127.0.0.1";
    port = text;
    if (!text.empty() && text[0] == '[') {
        const size_t close = text.find(']');
        if (close == std::string::npos || text.compare(close, 2, "]:") != 0) return false;
        host = text.substr(1, close - 1);
        port = text.substr(close + 2);
    } else if (const size_t colon = text.rfind(':'); colon != std::string::npos) {
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
    }
    return !host.empty() && !port.empty() && port.size() <= 5 &&
           port.find_first_not_of("0123456789") == std::string::npos && std::stoul(port) <= 65535;
}

std::string Shown(const sockaddr_storage& address) {
    char host[NI_MAXHOST], port[NI_MAXSERV];
    if (getnameinfo(reinterpret_cast<const sockaddr*>(&address), sizeof address, host, sizeof host, port,
                    sizeof port, NI_NUMERICHOST | NI_NUMERICSERV) != 0)
        return "?";
    return address.ss_family == AF_INET6 ? "[" + std::string(host) + "]:" + port : std::string(host) + ":" + port;
}

// The bytes written before a failure, if any; errno tells why.
size_t WriteAll(int fd, const std::uint8_t* data, size_t size) {
    size_t done = 0;
    while (done < size) {
        const ssize_t wrote = write(fd, data + done, size - done);
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote <= 0) {
            if (wrote == 0) errno = ENOSPC;
            break;
        }
        done += static_cast<size_t>(wrote);
    }
    return done;
}

// A reset tells the sender that the job was not taken whole; an orderly
// close, that it was.
void Hang(int socket, bool reset) {
    if (reset) {
        const linger abort = {1, 0};
        setsockopt(socket, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    }
    close(socket);
}

// The folder exists (or is made) and takes new files.
bool PrepareFolder(const std::string& dir, std::string& error) {
    if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
        error = "cannot create " + dir + ": " + Reason();
        return false;
    }
    struct stat info;
    if (stat(dir.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        error = dir + " is not a folder";
        return false;
    }
    const std::string probe = dir + "/.rasterview-" + std::to_string(getpid());
    const int fd = open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = "cannot write to " + dir + ": " + Reason();
        return false;
    }
    close(fd);
    unlink(probe.c_str());
    return true;
}

int OpenListener(const std::string& host, const std::string& port, std::string& shown, std::string& error) {
    addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string named = (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" + port;
    if (const int rc = getaddrinfo(host.c_str(), port.c_str(), &hints, &found); rc != 0) {
        error = "cannot listen on " + named + ": " + gai_strerror(rc);
        return -1;
    }
    int fd = -1;
    for (addrinfo* a = found; a && fd < 0; a = a->ai_next) {
        fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) continue;
        const int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (bind(fd, a->ai_addr, a->ai_addrlen) != 0 || listen(fd, 64) != 0) {
            error = "cannot listen on " + named + ": " + Reason();
            close(fd);
            fd = -1;
        }
    }
    freeaddrinfo(found);
    if (fd < 0) return -1;
    sockaddr_storage bound = {};
    socklen_t length = sizeof bound;
    getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length);
    shown = Shown(bound);
    return fd;
}

// What a caller's socket holds now: 1 bytes, 0 an end without any, -1
// nothing yet.
int Peek(int socket) {
    std::uint8_t first;
    const ssize_t got = recv(socket, &first, 1, MSG_PEEK | MSG_DONTWAIT);
    if (got > 0) return 1;
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return -1;
    return 0;  // closed, or reset, before its first byte
}

}  // namespace rasterview::printer_io

#endif
