// The server's system: made from the main loop's options as PAPPL's own
// default does, with its state kept safe (state.h), `file://` devices held
// to one folder, and systemd told when it serves and that it still runs.
#pragma once

#include <pappl/pappl.h>

#include <string>

namespace app {

// What the main loop runs: the program's base name, and whether it is the
// server (the `drivers` sub-command makes a system too, only to list them).
struct Program {
    const char* name;
    bool server;
};

// papplMainloop's system callback; `data` is the Program.
// Beside PAPPL's options it reads state-file=PATH (default where PAPPL keeps
// it), command-socket=PATH (one more local socket, for a service whose user
// cannot make PAPPL's), file-device-folder=DIR (without it no file://
// device is accepted) and server-aliases=NAME[,NAME...] (names a request's
// Host: may give besides localhost, the hostname and the address connected
// to).
pappl_system_t* CreateSystem(int num_options, cups_option_t* options, void* data);

// Why a printer may not use this device ("" when it may).
std::string DeviceRefusal(const char* device_uri);

}  // namespace app
