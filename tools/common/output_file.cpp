#include "tools/common/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <sys/statvfs.h>
#include <unistd.h>
#endif

#include "tools/common/file_calls.h"
#include "tools/common/temporaries.h"

namespace tools {

namespace {

using file_calls::CloseDescriptor;
using file_calls::ErrnoText;
using file_calls::IsTerminal;
using file_calls::OpenExclusive;
using file_calls::ProcessId;
using file_calls::Replaceable;
using file_calls::SizeOf;
using file_calls::StreamOf;
#ifdef _WIN32
using file_calls::OpenShared;
using file_calls::SystemText;
#endif
using temporaries::Forget;
using temporaries::Remember;

std::string Folder(const std::string& path) {
    const size_t slash = path.find_last_of("/\\");
    if (slash == std::string::npos) return "";
    return path.substr(0, slash + 1);
}

std::string Base(const std::string& path) {
    const size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// ".NAME.PID-N.tmp" beside PATH. A long NAME is cut so that the temporary's
// name is no longer than the user's: a name the folder takes.
std::string TemporaryName(const std::string& path, int attempt) {
    const std::string suffix = "." + std::to_string(ProcessId()) + "-" + std::to_string(attempt) + ".tmp";
    std::string base = Base(path);
    const size_t room = std::max<size_t>(base.size(), 200);
    if (1 + base.size() + suffix.size() > room) {
        size_t keep = room - 1 - suffix.size();
        while (keep > 0 && (static_cast<unsigned char>(base[keep]) & 0xC0) == 0x80) --keep;  // whole UTF-8 characters
        base.resize(keep);
    }
    return Folder(path) + "." + base + suffix;
}

}  // namespace

void SetBinary(std::FILE* file) {
#ifdef _WIN32
    _setmode(_fileno(file), _O_BINARY);
#else
    (void)file;
#endif
}

bool IsWindowsDeviceName(const std::string& path) {
    if (path.rfind("\\\\.\\", 0) == 0 || path.rfind("//./", 0) == 0) return true;
    std::string base = Base(path);
    base = base.substr(0, base.find('.'));
    while (!base.empty() && (base.back() == ':' || base.back() == ' ')) base.pop_back();
    for (char& c : base) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (base == "CON" || base == "PRN" || base == "AUX" || base == "NUL" || base == "CONIN$" || base == "CONOUT$")
        return true;
    return base.size() == 4 && (base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0) && base[3] >= '1' &&
           base[3] <= '9';
}

OutputFile::~OutputFile() { Discard(); }

void OutputFile::Discard() {
    if (file_) std::fclose(file_);
    if (device_) std::fclose(device_);
    file_ = device_ = nullptr;
    if (!temporary_.empty()) std::remove(temporary_.c_str());
    temporary_.clear();
    Forget(slot_);
    slot_ = -1;
}

// A temporary beside the file, so that the rename is atomic; when the
// folder refuses one, a temporary elsewhere and the file rewritten in place.
bool OutputFile::OpenTemporary(std::string& error) {
    if (kind_ == Kind::kReplace) {
        int lastError = 0;
        for (int attempt = 0; attempt < 100; ++attempt) {
            const std::string name = TemporaryName(path_, attempt);
            slot_ = Remember(name);
            const int fd = OpenExclusive(name);
            if (fd < 0) {
                lastError = errno;
                Forget(slot_);
                slot_ = -1;
                if (lastError == EEXIST) continue;
                break;
            }
#ifndef _WIN32
            if (mode_) fchmod(fd, static_cast<mode_t>(mode_));
#endif
            temporary_ = name;
            file_ = StreamOf(fd);
            if (file_) return true;
            lastError = errno;
            CloseDescriptor(fd);
            break;
        }
        // A folder that refuses a temporary still lets an existing file be
        // rewritten; a new file cannot be made there at all.
        if (!exists_ || (lastError != EACCES && lastError != EPERM && lastError != EROFS)) {
            error = "cannot create " + path_ + ": " + ErrnoText(lastError);
            return false;
        }
        kind_ = Kind::kRewrite;
    }
#ifdef _WIN32
    char folder[MAX_PATH + 1], name[MAX_PATH + 1];
    const DWORD n = GetTempPathA(sizeof folder, folder);
    if (n == 0 || n > MAX_PATH || GetTempFileNameA(folder, "out", 0, name) == 0) {
        error = "cannot create a temporary file for " + name_ + ": " + SystemText(GetLastError());
        return false;
    }
    temporary_ = name;
    slot_ = Remember(temporary_);
    const int fd = OpenShared(name, TRUNCATE_EXISTING);
    file_ = fd >= 0 ? StreamOf(fd) : nullptr;
    if (!file_ && fd >= 0) CloseDescriptor(fd);
#else
    file_ = std::tmpfile();
#endif
    if (!file_) {
        error = "cannot create a temporary file for " + name_ + ": " + ErrnoText(errno);
        return false;
    }
    return true;
}

bool OutputFile::Open(const std::string& path, std::string& error) {
    Discard();
    exists_ = false;
    mode_ = 0;
    path_ = path;
    name_ = path == "-" ? "standard output" : path;
    if (path.empty()) {
        error = "an output needs a file name";
        return false;
    }
    if (path == "-") {
        if (IsTerminal(stdout)) {
            error = "refusing to write to a terminal: give a file name or redirect standard output";
            return false;
        }
        kind_ = Kind::kStandardOutput;
        return OpenTemporary(error);
    }
#ifdef _WIN32
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (IsWindowsDeviceName(path) ||
        (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DEVICE))) {
        kind_ = Kind::kDevice;
    } else if (attributes == INVALID_FILE_ATTRIBUTES) {
        kind_ = Kind::kReplace;
    } else if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        error = path + " is a folder";
        return false;
    } else if (attributes & FILE_ATTRIBUTE_READONLY) {
        error = "cannot write " + path + ": it is read-only";
        return false;
    } else {
        exists_ = true;
        kind_ = Replaceable(path) ? Kind::kReplace : Kind::kRewrite;
    }
#else
    struct stat link, st;
    if (lstat(path.c_str(), &link) != 0) {
        if (errno != ENOENT) {
            error = "cannot write " + path + ": " + ErrnoText(errno);
            return false;
        }
        kind_ = Kind::kReplace;
    } else if (stat(path.c_str(), &st) != 0) {
        // A dangling link: the file it names is made.
        kind_ = Kind::kRewrite;
        exists_ = true;
    } else if (S_ISDIR(st.st_mode)) {
        error = path + " is a folder";
        return false;
    } else if (!S_ISREG(st.st_mode)) {
        kind_ = Kind::kDevice;
    } else {
        if (access(path.c_str(), W_OK) != 0) {
            error = "cannot write " + path + ": " + ErrnoText(errno);
            return false;
        }
        const bool plain = S_ISREG(link.st_mode) && st.st_nlink == 1 && st.st_uid == geteuid();
        kind_ = plain ? Kind::kReplace : Kind::kRewrite;
        mode_ = st.st_mode & 07777;
        exists_ = true;
    }
#endif
    if (kind_ == Kind::kDevice) {
        device_ = std::fopen(path.c_str(), "wb");
        if (!device_) {
            error = "cannot open " + path + ": " + ErrnoText(errno);
            return false;
        }
    }
    return OpenTemporary(error);
}

bool OutputFile::CopyTo(std::FILE* destination, std::string& error) {
    std::rewind(file_);
    char chunk[65536];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, file_)) > 0) {
        if (std::fwrite(chunk, 1, n, destination) != n) {
            error = "cannot write " + name_ + ": " + ErrnoText(errno);
            return false;
        }
    }
    if (std::ferror(file_)) {
        error = "cannot read back the temporary file for " + name_ + ": " + ErrnoText(errno);
        return false;
    }
    return true;
}

// Rewrites the file where it is. The old contents stay until the new ones
// are known to fit: the space is reserved first, and only then written
// over and cut to the new length.
bool OutputFile::WriteThrough(std::string& error) {
    const long long size = SizeOf(file_);
    if (size < 0) {
        error = "cannot read back the temporary file for " + name_ + ": " + ErrnoText(errno);
        return false;
    }
#ifdef _WIN32
    struct _stat64 old;
    const long long oldSize = _stat64(path_.c_str(), &old) == 0 ? old.st_size : 0;
    ULARGE_INTEGER available;
    const std::string folder = Folder(path_);
    if (size > oldSize &&
        GetDiskFreeSpaceExA(folder.empty() ? nullptr : folder.c_str(), &available, nullptr, nullptr) &&
        static_cast<unsigned long long>(size - oldSize) > available.QuadPart) {
        error = "cannot write " + path_ + ": " + SystemText(ERROR_DISK_FULL);
        return false;
    }
    std::FILE* target = std::fopen(path_.c_str(), "r+b");
    if (!target && errno == ENOENT) target = std::fopen(path_.c_str(), "wb");
    if (!target) {
        error = "cannot write " + path_ + ": " + ErrnoText(errno);
        return false;
    }
#else
    const int fd = open(path_.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    struct stat old;
    if (fd < 0 || fstat(fd, &old) != 0) {
        error = "cannot write " + path_ + ": " + ErrnoText(errno);
        if (fd >= 0) close(fd);
        return false;
    }
    if (S_ISREG(old.st_mode) && size > 0) {
        int reserved = 0;
#ifdef __linux__
        reserved = fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(size)) == 0 ? 0 : errno;
#else
        reserved = EOPNOTSUPP;
#endif
        if (reserved == EOPNOTSUPP || reserved == ENOSYS) {
            // No reservation on this file system: the free space decides.
            struct statvfs fs;
            const long long growth = size - static_cast<long long>(old.st_blocks) * 512;
            reserved = fstatvfs(fd, &fs) == 0 && growth > 0 &&
                               static_cast<unsigned long long>(growth) >
                                   static_cast<unsigned long long>(fs.f_bavail) * fs.f_frsize
                           ? ENOSPC
                           : 0;
        }
        if (reserved != 0) {
            error = "cannot write " + path_ + ": " + ErrnoText(reserved);
            close(fd);
            return false;
        }
    }
    std::FILE* target = fdopen(fd, "wb");  // fdopen never truncates
    if (!target) {
        error = "cannot write " + path_ + ": " + ErrnoText(errno);
        close(fd);
        return false;
    }
#endif
    bool ok = CopyTo(target, error);
    if (ok && std::fflush(target) != 0) {
        error = "cannot write " + path_ + ": " + ErrnoText(errno);
        ok = false;
    }
#ifdef _WIN32
    if (ok && _chsize_s(_fileno(target), size) != 0) {
#else
    if (ok && S_ISREG(old.st_mode) && ftruncate(fileno(target), static_cast<off_t>(size)) != 0) {
#endif
        error = "cannot write " + path_ + ": " + ErrnoText(errno);
        ok = false;
    }
    if (std::fclose(target) != 0 && ok) {
        error = "cannot write " + path_ + ": " + ErrnoText(errno);
        ok = false;
    }
    return ok;
}

bool OutputFile::Commit(std::string& error) {
    if (!file_) {
        error = "nothing was written for " + name_;
        return false;
    }
    if (std::fflush(file_) != 0 || std::ferror(file_)) {
        error = "cannot write " + name_ + ": " + ErrnoText(errno);
        Discard();
        return false;
    }
    // A link that appeared at the path since Open is written through too.
    if (kind_ == Kind::kReplace && !Replaceable(path_)) kind_ = Kind::kRewrite;
    bool ok = true;
    switch (kind_) {
    case Kind::kStandardOutput:
        SetBinary(stdout);
        ok = CopyTo(stdout, error);
        if (ok && std::fflush(stdout) != 0) {
            error = "cannot write standard output: " + ErrnoText(errno);
            ok = false;
        }
        break;
    case Kind::kDevice: {
        ok = CopyTo(device_, error);
        const int closed = std::fclose(device_);
        device_ = nullptr;
        if (ok && closed != 0) {
            error = "cannot write " + path_ + ": " + ErrnoText(errno);
            ok = false;
        }
        break;
    }
    case Kind::kRewrite:
        ok = WriteThrough(error);
        break;
    case Kind::kReplace: {
        const int closed = std::fclose(file_);
        file_ = nullptr;
        if (closed != 0) {
            error = "cannot write " + path_ + ": " + ErrnoText(errno);
            ok = false;
            break;
        }
#ifdef _WIN32
        if (!MoveFileExA(temporary_.c_str(), path_.c_str(), MOVEFILE_REPLACE_EXISTING)) {
            error = "cannot write " + path_ + ": " + SystemText(GetLastError());
            ok = false;
        }
#else
        if (std::rename(temporary_.c_str(), path_.c_str()) != 0) {
            error = "cannot write " + path_ + ": " + ErrnoText(errno);
            ok = false;
        }
#endif
        if (ok) temporary_.clear();
        break;
    }
    }
    Discard();
    return ok;
}

bool CommitAll(const std::vector<OutputFile*>& outputs, std::string& error) {
    std::string done;
    for (OutputFile* output : outputs) {
        if (!output->Commit(error)) {
            if (!done.empty()) error += " (already written: " + done + ")";
            return false;
        }
        done += (done.empty() ? "" : ", ") + output->name();
    }
    return true;
}

}  // namespace tools
