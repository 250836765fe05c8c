#pragma once

// A file named on the command line, read whole: only a regular file (a FIFO
// or a device would never end) and only up to the size its reader allows.

#include <string>
#include <sys/types.h>

// False with Problem set, German, to follow the path: "kann nicht geöffnet
// werden", "ist keine gewöhnliche Datei", "ist größer als " + LargestText,
// "kann nicht gelesen werden".
bool ReadRegularFile(
    const std::string& Path, off_t Largest, const std::string& LargestText, std::string& Bytes, std::string& Problem);
