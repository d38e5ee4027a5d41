// The one driver the application offers: what the printer is, as PAPPL
// advertises it over IPP.
#pragma once

#include <pappl/pappl.h>

namespace app {

extern pappl_pr_driver_t kDrivers[1];

// Fills the driver data of a printer made with our driver.
bool DriverCallback(pappl_system_t* system, const char* driver_name, const char* device_uri,
                    const char* device_id, pappl_pr_driver_data_t* data, ipp_t** attrs, void* context);

// How many white rows a page of the job may end with before the next
// (printhost::HostOptions::pageGapRows): the job's "page-length", else the
// printer's default; "full" feeds every page at its full length, anything
// else ("content") trims a page's blank tail to the gap between receipts.
long PageGapRows(pappl_job_t* job, const pappl_pr_options_t* options);

// The driver for a device whose IEEE 1284 ID names our printer, or null.
const char* AutoAdd(const char* device_info, const char* device_uri, const char* device_id, void* context);

}  // namespace app
