// The temporaries the tools write, remembered so that a signal (or, on
// Windows, a console's Ctrl+C or close) that stops the process removes them.
#pragma once

#include <string>

namespace tools::temporaries {

// Keeps PATH for removal at a stop; the slot it took, or -1 when none was
// free (the file is then left behind by a stop).
int Remember(const std::string& path);
// Frees a slot from Remember; -1 is ignored.
void Forget(int slot);

}  // namespace tools::temporaries
