// PAPPL 1.3.1 loops for ever on a PNG that libpng cannot read, and the
// printer with it, and prints a 1-bit grey PNG black. Each PNG job is read
// here first, before PAPPL opens it: one that does not decode is swapped
// for a blank picture and refused at the job's start with libpng's reason;
// one of fewer than 8 bits a sample is rewritten at 8.
#pragma once

#include <pappl/pappl.h>

#include <string>

namespace app {

// The system's event callback: checks a PNG job as its processing starts.
void CheckPngJobs(pappl_system_t* system, pappl_printer_t* printer, pappl_job_t* job, pappl_event_t event,
                  void* data);

// Why the job's PNG was refused, once; empty for a job that decoded.
std::string TakePngRefusal(int job_id);

}  // namespace app
