#include "standin/host/print_job.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace standin {

std::string DefaultModulePath() {
#ifdef _WIN32
    // The DLL sits beside the program that loads it.
    char path[MAX_PATH] = {};
    const DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string dir(path, n);
    const size_t slash = dir.find_last_of("\\/");
    return (slash == std::string::npos ? std::string() : dir.substr(0, slash + 1)) + OEMDLL_MODULE_PATH;
#else
    return OEMDLL_MODULE_PATH;
#endif
}

}  // namespace standin
