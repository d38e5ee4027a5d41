// rasterview --listen: a printer on a raw TCP port that keeps every job it
// is sent and draws what it would print.
#pragma once

#include <cstdint>
#include <string>

namespace rasterview {

struct ListenOptions {
    std::string address;                        // [HOST:]PORT; HOST 127.0.0.1 when left out
    std::string out;                            // the folder the jobs go to
    std::uint64_t jobs = 0;                     // stop after this many; 0 never
    std::uint64_t maxJobBytes = 256ull << 20;   // a job is cut here
    unsigned idleSeconds = 0;                   // stop after this long without a job; 0 never
    unsigned readTimeoutSeconds = 10;           // a connection silent this long is dropped
};

// Serves jobs until told to stop; the exit status: 0 when every job was
// well formed, 1 when any was not or could not be kept, 2 for a bad
// address.
int RunVirtualPrinter(const ListenOptions& options);

}  // namespace rasterview
