// Identify-Printer: the printer has no light, sound or screen the app can
// drive, and paper is what it shows a person, so it "displays" the message
// by printing it on a short slip.
#pragma once

#include <pappl/pappl.h>

namespace app {

constexpr pappl_identify_actions_t kIdentifyActions = PAPPL_IDENTIFY_ACTIONS_DISPLAY;

// PAPPL's identify callback: the message (the printer's name when the
// client gives none) printed through the plug-in, when the device is free.
void Identify(pappl_printer_t* printer, pappl_identify_actions_t actions, const char* message);

}  // namespace app
