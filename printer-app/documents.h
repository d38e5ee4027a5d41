// PDF and plain text in the printer application: PAPPL hands the spooled
// document to a MIME filter, which renders it with the shared renderers
// into one document of the plug-in, as the raster path prints a job.
#pragma once

#include <pappl/pappl.h>

#include <cstddef>

namespace app {

// Adds application/pdf, text/plain and text/plain;charset=NAME for the
// character sets listed, and the "columns" job option (32, 42 or 48;
// columns-default 32). Call from the driver callback: PAPPL lists the
// formats in document-format-supported when it builds the printer's
// attributes right after it.
void AddDocumentFormats(pappl_system_t* system, pappl_pr_driver_data_t* data, ipp_t** attrs);

// For the MIME callback of application/octet-stream documents:
// "application/pdf" or "text/plain" from the first bytes, or null.
const char* DocumentFormat(const unsigned char* header, std::size_t size);

}  // namespace app
