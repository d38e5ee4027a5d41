// What the GPD reader shares with the interpretation of its entries.
#pragma once

#include <string>

namespace standin::gpd_internal {

std::string Trim(const std::string& s);
// "file:line: ", the start of a message about that line.
std::string Where(const std::string& file, int line);

}  // namespace standin::gpd_internal
