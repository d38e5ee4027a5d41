// The raster path: PAPPL hands each page line by line in the printer's
// geometry; the job is printed through the plug-in module as one document.
#pragma once

#include <pappl/pappl.h>

#include <string>

namespace app {

// The printer's row: 384 dots.
constexpr unsigned kPrinterDots = 384;

// Ends the job as aborted with the reason a client sees (the log, its
// job-state-message and job-state-reasons); false, for a filter or a
// driver callback to return.
bool RefuseJob(pappl_job_t* job, pappl_jreason_t reason, const std::string& why);

// Where the plug-in module is, relative to the running executable.
void SetModulePath(const std::string& path);
const std::string& ModulePath();

bool StartJob(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device);
bool StartPage(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device, unsigned page);
bool WriteLine(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device, unsigned y,
               const unsigned char* line);
bool EndPage(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device, unsigned page);
bool EndJob(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device);

}  // namespace app
