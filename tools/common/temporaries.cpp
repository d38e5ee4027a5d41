// The registry of temporaries removed on a stop: the slots, the handler
// that empties them, and its installation.
#include "tools/common/temporaries.h"

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <cstring>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace tools {

namespace {

// The named temporaries of this process, removed when it is stopped by a
// signal (or, on Windows, a console's Ctrl+C or close). Whoever takes a path
// out of its slot owns it, so the handler and the code never both free one.
constexpr int kTemporarySlots = 8;
std::atomic<char*> gTemporaries[kTemporarySlots];

#ifdef _WIN32
BOOL WINAPI OnConsoleStop(DWORD) {
    for (std::atomic<char*>& slot : gTemporaries)
        if (char* path = slot.exchange(nullptr)) DeleteFileA(path);
    return FALSE;  // and on to the default handler, which ends the process
}
#else
void OnStopSignal(int signal) {
    for (std::atomic<char*>& slot : gTemporaries)
        if (char* path = slot.exchange(nullptr)) unlink(path);
    std::signal(signal, SIG_DFL);
    std::raise(signal);  // delivered once the handler returns: the process ends as the signal says
}
#endif

void InstallCleanup() {
    static bool installed = false;
    if (installed) return;
    installed = true;
#ifdef _WIN32
    SetConsoleCtrlHandler(OnConsoleStop, TRUE);
#else
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction old;
        // A signal ignored (a background job's SIGINT) or handled by the tool stays so.
        if (sigaction(signal, nullptr, &old) != 0 || old.sa_handler != SIG_DFL) continue;
        struct sigaction on = {};
        on.sa_handler = OnStopSignal;
        sigemptyset(&on.sa_mask);
        sigaction(signal, &on, nullptr);
    }
#endif
}

}  // namespace

namespace temporaries {

int Remember(const std::string& path) {
    InstallCleanup();
    char* copy = static_cast<char*>(std::malloc(path.size() + 1));
    if (!copy) return -1;
    std::memcpy(copy, path.c_str(), path.size() + 1);
    for (int i = 0; i < kTemporarySlots; ++i) {
        char* empty = nullptr;
        if (gTemporaries[i].compare_exchange_strong(empty, copy)) return i;
    }
    std::free(copy);
    return -1;
}

void Forget(int slot) {
    if (slot >= 0) std::free(gTemporaries[slot].exchange(nullptr));
}

}  // namespace temporaries

}  // namespace tools
