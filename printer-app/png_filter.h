// PNG documents, decoded here rather than by PAPPL's own filter: a picture
// that does not decode is refused with libpng's reason for the client, one
// too large before a row is inflated, and the transparent parts of any
// picture, grey ones too, print as paper.
#pragma once

#include <pappl/pappl.h>

namespace app {

// The MIME filter of image/png: decodes the whole picture to 8-bit grey (or
// RGB for a colour one) over white and prints it as PAPPL prints pictures.
bool PrintPng(pappl_job_t* job, pappl_device_t* device, void* data);

}  // namespace app
