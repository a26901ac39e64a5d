// Watching the point status table: the value and the history of every
// point as the messages changed them, the points that are not 0, and the
// comparison of what was seen with what the panel side says it sent.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "points_file.h"
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

// A watch of every table address; `read` gives the baseline.
PointWatch StartWatch(const ReadPoint &read);
// The place of a table address in a watch.
std::size_t WatchIndex(const std::string &address);
// Records changes of table addresses (buses and slots 1-8, points 0-150).
void Record(PointWatch &watch, const std::vector<SeenChange> &changes);

// "0104130=1 0301148=1", at most `limit` points, then "(+N more)";
// "(none)" when every point is 0.
std::string NonZeroView(const PointWatch &watch, std::size_t limit);

// Every point that is not 0, grouped by bus and slot, one line each with
// its type, value and the name `names` gives it:
//   active points: 2
//     bus 01, slot 04
//       0104130  CKT            1  Boiler room
//       0104131  CKT            2
// `title` replaces "active points" (a port's name is added with several).
std::vector<std::string> ActivePointLines(const PointWatch &watch, const std::vector<NamedPoint> &names,
                                          const std::string &title = "active points");

struct SummaryRow {
    std::string address;
    std::vector<int> sent;  // values the panel's messages should give, in order
    std::vector<int> read;  // values ReadTag gave, in order
    bool matches = false;
    bool allSeen = false;   // matches with every value sent seen
};

// One row per point that was expected to change or did change. A point
// matches when the values seen are values the panel sent, in their order,
// ending on the last one sent; it is all seen when every value sent was
// seen. A value never sent, a wrong order, a wrong end or a value sent but
// never seen is a difference.
std::vector<SummaryRow> CompareWithSent(const std::vector<zeltools::Expectation> &expected,
                                        const std::map<std::string, std::vector<int>> &history);

std::string ValuesText(const std::vector<int> &values);

}  // namespace zelhost
