// The file calls an output makes, on POSIX and Windows alike: opening
// without replacing, what a path is, sizes and the texts of errors.
#include "tools/common/file_calls.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#ifdef _WIN32
#include <io.h>
#include <process.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace tools::file_calls {

std::string ErrnoText(int error) { return std::strerror(error); }

#ifdef _WIN32
std::string SystemText(DWORD code) {
    char text[512] = "";
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text,
                                   sizeof text, nullptr);
    std::string s(text, n);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == '.' || s.back() == ' ')) s.pop_back();
    return s.empty() ? "error " + std::to_string(code) : s;
}

int ProcessId() { return _getpid(); }
// Opened so that it can be deleted while open: a stop removes it at once.
int OpenShared(const std::string& path, DWORD disposition) {
    const HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, disposition,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        switch (GetLastError()) {
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS: errno = EEXIST; break;
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND: errno = ENOENT; break;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION: errno = EACCES; break;
        case ERROR_WRITE_PROTECT: errno = EROFS; break;
        case ERROR_FILENAME_EXCED_RANGE: errno = ENAMETOOLONG; break;
        case ERROR_DISK_FULL: errno = ENOSPC; break;
        default: errno = EINVAL; break;
        }
        return -1;
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_RDWR | _O_BINARY);
    if (fd < 0) CloseHandle(h);
    return fd;
}
int OpenExclusive(const std::string& path) { return OpenShared(path, CREATE_NEW); }
std::FILE* StreamOf(int fd) { return _fdopen(fd, "w+b"); }
void CloseDescriptor(int fd) { _close(fd); }
#else
int ProcessId() { return static_cast<int>(getpid()); }
int OpenExclusive(const std::string& path) { return open(path.c_str(), O_CREAT | O_EXCL | O_RDWR, 0666); }
std::FILE* StreamOf(int fd) { return fdopen(fd, "w+b"); }
void CloseDescriptor(int fd) { close(fd); }
#endif

bool IsTerminal(std::FILE* file) {
#ifdef _WIN32
    return _isatty(_fileno(file)) != 0;
#else
    return isatty(fileno(file)) != 0;
#endif
}

// Whether PATH may be replaced by a rename: nothing there, or a plain file
// (not a link, no other names).
bool Replaceable(const std::string& path) {
#ifdef _WIN32
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return true;
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return false;
    const HANDLE h = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    BY_HANDLE_FILE_INFORMATION info;
    bool single = true;
    if (h != INVALID_HANDLE_VALUE) {
        if (GetFileInformationByHandle(h, &info) && info.nNumberOfLinks > 1) single = false;
        CloseHandle(h);
    }
    return single;
#else
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return errno == ENOENT;
    return S_ISREG(st.st_mode) && st.st_nlink == 1;
#endif
}

long long SizeOf(std::FILE* file) {
    if (std::fseek(file, 0, SEEK_END) != 0) return -1;
#ifdef _WIN32
    return _ftelli64(file);
#else
    return ftello(file);
#endif
}

}  // namespace tools::file_calls
