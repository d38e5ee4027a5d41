// What the application sets up on PAPPL's system once: how documents sent
// as application/octet-stream are typed, the document filters, how large a
// picture may be, and the bounds on jobs (how many a printer holds, how long
// one waits for its document, how many clients are let in: below the
// control group's task limit, with room for the jobs); PNG and JPEG pictures decoded
// by the application, and a document whose type cannot be told refused,
// saying so.
#pragma once

#include <pappl/pappl.h>

namespace app {

// The most pixels a PNG or JPEG may have a side, and in all: a 384-dot
// printer has no use for more than a photo's worth.
constexpr int kMaxPictureSide = 8192;
constexpr size_t kMaxPicturePixels = 64u << 20;

// Jobs a printer holds at once, pending or printing.
constexpr int kMaxActiveJobs = 100;

// A job made by Create-Job whose document has not come within this time
// (the printer's multiple-operation-time-out) is cancelled.
constexpr int kDocumentTimeout = 60;

// Safe to call again for the same system; the first call does the work.
// PAPPL takes document filters only before the system runs.
void ConfigureSystem(pappl_system_t* system);

}  // namespace app
