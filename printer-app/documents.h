// PDF and plain text in the printer application: PAPPL hands the spooled
// document to a MIME filter, which renders it with the shared renderers
// into one document of the plug-in, as the raster path prints a job.
#pragma once

#include <pappl/pappl.h>

#include <cstddef>

namespace app {

// Adds application/pdf, text/plain and text/plain;charset=NAME for the
// character sets listed, and, given a driver's data, its "columns" job
// option (32, 42 or 48; columns-default 32). PAPPL takes filters only
// before the system runs: call it from the system callback (data and attrs
// null), and from the driver callback for the option; there it also adds
// the filters when PAPPL loads saved printers before it runs.
void AddDocumentFormats(pappl_system_t* system, pappl_pr_driver_data_t* data, ipp_t** attrs);

// For the MIME callback of application/octet-stream documents:
// "application/pdf" or "text/plain" from the first bytes, or null.
const char* DocumentFormat(const unsigned char* header, std::size_t size);

}  // namespace app
