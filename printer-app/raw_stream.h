// Documents that are already the printer's rows (what rasterprint writes):
// checked row by row, then passed to the printer unchanged.
#pragma once

#include <pappl/pappl.h>

#include <cstddef>

namespace app {

// The MIME type of the printer's own stream, as the CUPS driver names it.
extern const char kRawFormat[];

// Whether a document's first bytes are a row command of the stream.
bool LooksRaw(const unsigned char* header, size_t size);

// The driver's printfile_cb: a stream that checks whole is sent as it is;
// anything else is refused with the reason, nothing sent.
bool PrintRawFile(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device);

}  // namespace app
