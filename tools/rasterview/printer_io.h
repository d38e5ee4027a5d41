// What rasterview --listen asks of the system: its address and listening
// socket, the connections it takes, and the folder its jobs go to. POSIX only.
#pragma once

#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace rasterview::printer_io {

// errno's text.
std::string Reason();
// DIR/job-NNNN.EXTENSION.
std::string JobPath(const std::string& dir, std::uint64_t number, const char* extension);
// The highest job number among DIR's job-NNNN.* files.
std::uint64_t LastJob(const std::string& dir);
// [HOST:]PORT into its parts, HOST 127.0.0.1 when left out; false when it
// is not an address.
bool SplitAddress(const std::string& text, std::string& host, std::string& port);
// HOST:PORT, or [HOST]:PORT for IPv6, numeric.
std::string Shown(const sockaddr_storage& address);
// The bytes written before a failure, if any; errno tells why.
size_t WriteAll(int fd, const std::uint8_t* data, size_t size);
// Closes a connection: with a reset, or in order.
void Hang(int socket, bool reset);
// The folder exists (or is made) and takes new files.
bool PrepareFolder(const std::string& dir, std::string& error);
// A listening socket on HOST:PORT, and in `shown` where it listens; -1 on
// failure, with `error` saying why.
int OpenListener(const std::string& host, const std::string& port, std::string& shown, std::string& error);
// What a caller's socket holds now: 1 bytes, 0 an end without any, -1
// nothing yet.
int Peek(int socket);

}  // namespace rasterview::printer_io
