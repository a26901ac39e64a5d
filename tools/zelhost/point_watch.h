// Watching the point status table as a host does, through ReadTag: which
// points changed since the last look, the points that are not 0, and the
// comparison of what was seen with what the panel side says it sent.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "traffic_file.h"

namespace zelhost {

using ReadPoint = std::function<int(const std::string &address)>;

struct PointWatch {
    std::vector<std::string> addresses;  // every point the panel can set
    std::vector<int> values;             // last value seen, same order
    std::map<std::string, std::vector<int>> history;  // values after each change
};

struct SeenChange {
    std::string address;
    int before = 0;
    int after = 0;
};

// Buses 1-8, slots 1-8, points 0-150: every entry the panel's messages
// reach and ReadTag reads, in table order.
const std::vector<std::string> &TableAddresses();

// A watch of every table address; the first look is the baseline.
PointWatch StartWatch(const ReadPoint &read);
std::vector<SeenChange> Look(PointWatch &watch, const ReadPoint &read);

// "0104130=1 0301148=1", at most `limit` points, then "(+N more)";
// "(none)" when every point is 0.
std::string NonZeroView(const PointWatch &watch, std::size_t limit);

struct SummaryRow {
    std::string address;
    std::vector<int> sent;  // values the panel's messages should give, in order
    std::vector<int> read;  // values ReadTag gave, in order
    bool matches = false;
    bool allSeen = false;   // matches with every value sent seen
};

// One row per point that was expected to change or did change. A point
// matches when ReadTag gave values the panel sent, in their order, and ends
// on the last one sent: a value replaced within one look, or within one read
// of the driver when messages come back to back, is never seen; a value
// never sent, a wrong order or a wrong end is a difference.
std::vector<SummaryRow> CompareWithSent(const std::vector<zeltools::Expectation> &expected,
                                        const std::map<std::string, std::vector<int>> &history);

std::string ValuesText(const std::vector<int> &values);

}  // namespace zelhost
