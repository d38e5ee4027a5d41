// JPEG documents, decoded here rather than by PAPPL's own filter: a photo
// prints the way up its camera recorded (the EXIF orientation), and one
// that cannot be printed (CMYK, undecodable, too large) is refused with the
// reason for the client.
#pragma once

#include <pappl/pappl.h>

namespace app {

// The MIME filter of image/jpeg: decodes the whole picture to 8-bit grey
// (or RGB for a colour one), turned upright, and prints it as PAPPL prints
// pictures.
bool PrintJpeg(pappl_job_t* job, pappl_device_t* device, void* data);

}  // namespace app
