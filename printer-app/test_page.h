// "Print Test Page": a receipt that shows the printable width and the
// printer's name, written as a PNG for PAPPL to print; and the short slip
// Identify-Printer prints.
#pragma once

#include <pappl/pappl.h>

#include <cstddef>
#include <string>
#include <vector>

namespace app {

// Writes the page to a temporary file and returns its name in `buffer`,
// or null when it cannot be written.
const char* TestPage(pappl_printer_t* printer, char* buffer, size_t size);

// `text` (its first 32 characters) between two bars, 4.5 mm of paper: 1-bit
// rows of the 384 dots, 48 bytes each, 1 = white, as the plug-in takes them.
std::vector<unsigned char> IdentifySlip(const std::string& text, unsigned& rows);

}  // namespace app
