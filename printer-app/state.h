// The application's state file, kept safe: PAPPL writes the state into
// memory; the whole of it goes to FILE.new, is flushed to the disk and
// renamed over FILE, the previous FILE kept as FILE.bak. A save that fails
// leaves FILE as it was. Every change is saved as it is made, not only at
// shutdown.
#pragma once

#include <pappl/pappl.h>

#include <string>

namespace app {

// Why the text of a state file is not whole ("" when it is). Files this
// program wrote begin with a header and end with a line counting the bytes
// before it; files PAPPL wrote itself are checked by their structure.
std::string StateDamage(const std::string& text);

// Loads FILE, or FILE.bak with a warning naming what was lost when FILE is
// damaged; after a crash, job numbers skip past those it may have handed
// out unsaved. Before the system runs.
void LoadState(pappl_system_t* system, const std::string& path);

// Saves now; false (logged as an error) when the old file was kept.
bool SaveState(pappl_system_t* system, const std::string& path);

// From here on the system's changes are saved to `path` as they are made:
// PAPPL's save callback, and a thread that saves on the change events.
void KeepState(pappl_system_t* system, const std::string& path);

// The event callback's share: a printer created or changed and the
// system's settings are on the disk before the client's request is
// answered, a deleted printer a moment later. Jobs are left to the main
// loop's save: a save as a job is made holds the locks PAPPL needs to make
// it whole, and PAPPL 1.3.1 may start a job before it is (a crash).
// The numbers of jobs made since the last save are skipped at the next
// start if it comes first (a crash).
void StateEvent(pappl_system_t* system, pappl_event_t event);

// Called each second from the main loop: saves again after a failed save.
void RetryState(pappl_system_t* system);

}  // namespace app
