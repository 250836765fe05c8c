#pragma once

// A scratch file nobody else can open: made without a name where the file
// system allows (O_TMPFILE), else created and unlinked at once, mode 0600,
// under $TMPDIR or /tmp. Large received data (a transcript's reads, the last
// retrieved message) waits here instead of in memory; it goes with the
// descriptor. Nothing secret is written to it. No Qt.

#include <cstdint>
#include <string>

class TPrivateFile {
public:
    TPrivateFile() = default;
    ~TPrivateFile();
    TPrivateFile(const TPrivateFile&) = delete;
    TPrivateFile& operator=(const TPrivateFile&) = delete;

    // Makes the file on first use; false when none can be had.
    bool Open();
    bool IsOpen() const { return FFd >= 0; }
    bool WriteAt(const std::string& Bytes, uint64_t Offset) const;
    // Bytes becomes the Length bytes from Offset; false when they cannot be read.
    bool ReadAt(std::string& Bytes, uint64_t Offset, uint64_t Length) const;
    // Gives the disk space of a range back (a punched hole reads as zeros).
    void Release(uint64_t Offset, uint64_t Length) const;
    // Empties the file for new content.
    void Truncate() const;

private:
    int FFd = -1;
};
