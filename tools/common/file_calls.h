// The file calls an output makes, on POSIX and Windows alike: opening
// without replacing, what a path is, sizes and the texts of errors.
#pragma once

#include <cstdio>
#include <string>

#ifdef _WIN32
#include <windows.h>
#endif

namespace tools::file_calls {

std::string ErrnoText(int error);
#ifdef _WIN32
std::string SystemText(DWORD code);
// Opened so that it can be deleted while open: a stop removes it at once.
int OpenShared(const std::string& path, DWORD disposition);
#endif
int ProcessId();
// A new file, never one that exists; -1 with errno set on failure.
int OpenExclusive(const std::string& path);
std::FILE* StreamOf(int fd);
void CloseDescriptor(int fd);
bool IsTerminal(std::FILE* file);
// Whether PATH may be replaced by a rename: nothing there, or a plain file
// (not a link, no other names).
bool Replaceable(const std::string& path);
// Seeks to the end: the size, or -1.
long long SizeOf(std::FILE* file);

}  // namespace tools::file_calls
