// The walk-test record an engineer hands in: the sheet of every port with a
// heading (site, engineer, ports and channels, start and end, the driver's
// version, the time zone), as plain text or as CSV for a spreadsheet.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "walk_test.h"

namespace zelhost {

struct SheetPort {
    std::string name;  // the driver's port name
    int channel = 1;
    const WalkTest *walk = nullptr;
};

struct WalkRecord {
    std::string site;
    std::string engineer;
    std::string driver;  // "ZELWNQX 7.00"
    std::vector<SheetPort> ports;
    WallTime start;
    std::optional<WallTime> end;  // none while the monitor runs
    bool utc = false;             // else local time, its zone named
};

// Whether the record goes out as CSV: a file name ending in ".csv".
bool IsCsvName(const std::string &path);
std::string RecordText(const WalkRecord &record);
// One row per change, per point that never reported and per line note,
// after the heading's rows; fields quoted as spreadsheets read them.
std::string RecordCsv(const WalkRecord &record);

}  // namespace zelhost
