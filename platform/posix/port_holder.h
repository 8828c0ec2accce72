#pragma once

#include <sys/types.h>
#include <string>

namespace horalign {

// The process holding a lock on the file at `path` (the flock every Horalign takes on its
// open port, or another program's lock), read from /proc/locks; 0 when none is found or
// the system does not tell.
pid_t LockHolder(const std::string& path);

// The command line of a process as one text ("horalign-cli run"); "" when unreadable.
std::string ProcessCommand(pid_t pid);

// Why the serial device at `path` cannot be opened, as the end of a sentence that begins
// with the path: "does not exist", "is in use by horalign-cli run (pid 1234)", "is in use
// by another program", "cannot be opened: permission denied", "is not a serial port".
// Called after an open failed; it opens the device itself only to tell these apart.
std::string DescribeUnopenablePort(const std::string& path);

}  // namespace horalign
