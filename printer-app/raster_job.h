// The raster path: PAPPL hands each page line by line in the printer's
// geometry; the job is printed through the plug-in module as one document.
#pragma once

#include <pappl/pappl.h>

#include <string>

namespace app {

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
