#pragma once

// A private CUPS spooler for printing tests: cupsd started as a child process
// with its configuration, spool and state in a temporary folder, listening on a
// Unix socket there, and the cups-pdf virtual printer whose jobs land as PDF
// files in an output folder. CUPS_SERVER points this process (and the lpadmin
// calls) at it. Needs root: cups-pdf reads its per-queue configuration only
// from /etc/cups, so one file cups-pdf-<id>.conf is written there and removed
// again by stop().

#include "tests/support/TempDir.h"

#include <string>
#include <sys/types.h>
#include <vector>

class CupsHarness {
public:
    // Empty when cupsd, lpadmin, cups-pdf and root rights are all there; else why not.
    static std::string unavailableReason();

    CupsHarness();
    ~CupsHarness();
    CupsHarness(const CupsHarness&) = delete;
    CupsHarness& operator=(const CupsHarness&) = delete;

    // Starts cupsd without printers and waits for its socket (15 s at most).
    bool start(std::string* error = nullptr);
    void stop();

    // The cups-pdf queue, made the default destination.
    bool addPdfPrinter(std::string* error = nullptr);
    bool removePdfPrinter();
    // cupsenable / cupsdisable of the queue.
    bool setPrinterEnabled(bool enabled);
    // Waits until no job is pending (bounded by timeoutMs).
    bool waitUntilIdle(int timeoutMs);

    const std::string& queue() const { return queue_; }
    const std::string& outputFolder() const { return out_; }
    std::vector<std::string> outputFiles() const; // file names, sorted
    std::string log() const; // cupsd's error log, for failure messages

private:
    bool run(const std::string& command, std::string* output = nullptr) const;

    TempDir folder_;
    std::string queue_ = "BrieflotsePDF";
    std::string id_;
    std::string socket_;
    std::string out_;
    std::string pdfConfig_;
    pid_t pid_ = -1;
    bool serverSet_ = false;
    bool hadPreviousServer_ = false;
    std::string previousServer_;
};
