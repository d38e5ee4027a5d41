// "Print Test Page": a receipt that shows the printable width and the
// printer's name, written as PWG raster for PAPPL to print.
#pragma once

#include <pappl/pappl.h>

#include <cstddef>

namespace app {

// Writes the page to a temporary file and returns its name in `buffer`,
// or null when it cannot be written.
const char* TestPage(pappl_printer_t* printer, char* buffer, size_t size);

}  // namespace app
