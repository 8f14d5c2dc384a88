// A pseudo-terminal linked into the sysroot, as the board hands out every serial device node.
//
// The firmware (or the PC side) opens the slave by the link's path; the board serves the master.
// The board keeps a slave descriptor open itself: a pty whose slave is closed makes poll() on the
// master report a hang-up without end, and the users of the slave may open and close it at will.
#pragma once

#include <string>

struct LinkedPty {
    int master = -1;     // non-blocking, close-on-exec
    int slaveKeep = -1;  // the board's own slave descriptor, never read
    std::string slavePath;
};

// Creates the pty with the slave in raw mode (no echo, no line editing, no translation) and links
// linkPath to the slave, replacing whatever was there. Throws std::runtime_error on failure.
LinkedPty OpenLinkedPty(const std::string& linkPath);

// Raw mode on a terminal descriptor; nothing when it is not a terminal.
void SetRaw(int fd);
