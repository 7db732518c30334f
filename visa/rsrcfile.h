/* The resource file that viFindRsrc searches: configured resource strings
 * and address blocks to probe. Internal to the VISA library. */
#ifndef CV_VISA_RSRCFILE_H
#define CV_VISA_RSRCFILE_H

#include "visa.h"

#include <cstdint>
#include <string>
#include <vector>

namespace cvvisa {

/* One block of IPv4 addresses to probe on one port. */
struct ScanRange
{
    std::uint32_t first = 0, last = 0; /* host byte order, inclusive */
    unsigned port = 0;
    std::string board; /* decimal, empty when omitted */
};

struct ResourceConfig
{
    std::vector<std::string> names; /* in file order, as written */
    std::vector<ScanRange> scans;
    /* One text per skipped line: "<line>: <why>". */
    std::vector<std::string> problems;
};

struct ScanOptions
{
    unsigned probeTimeoutMs = 300;
    unsigned parallel = 256;
};

/* Largest file read; anything past it is ignored. */
constexpr std::size_t kMaxResourceFileSize = 1 << 20;
/* Widest block a scan line may name. */
constexpr int kMinScanPrefix = 16;
/* Most addresses all scan lines of a file may add up to. */
constexpr std::uint64_t kMaxScanAddresses = 1 << 18;

/* $CV_VISA_RESOURCES, else $XDG_CONFIG_HOME/cv-visa/resources.conf, else
 * $HOME/.config/cv-visa/resources.conf; empty when none can be formed. */
std::string resourceFilePath();

void parseResourceConfig(const std::string &text, ResourceConfig *out);
/* A missing file is an empty configuration; so is anything that is not a
 * regular file (a FIFO, a directory, a device), which is also reported
 * once on standard error. At most kMaxResourceFileSize bytes are read.
 * True when a regular file was opened and read. */
bool loadResourceFile(const std::string &path, ResourceConfig *out);

/* Probes every address of the ranges with a non-blocking connect and
 * returns the names of those that accepted, in address order. */
std::vector<std::string> scanRanges(const std::vector<ScanRange> &ranges, const ScanOptions &opt);

/* The configured names, then the scan hits; duplicates (compared without
 * regard to case) removed, the first kept. */
std::vector<std::string> collectResources(const ResourceConfig &config, const ScanOptions &opt);

} // namespace cvvisa

#endif
