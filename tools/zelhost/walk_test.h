// A walk test: the engineer trips each named point in turn, and the sheet
// shows which reported, when and with which values, and which never did.
#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <string>
#include <vector>

#include "point_watch.h"
#include "points_file.h"

namespace zelhost {

struct WalkReport {
    std::string address;
    std::chrono::system_clock::time_point first;  // its first change
    std::vector<int> values;                      // the value before, then after each change
};

struct WalkTest {
    std::vector<NamedPoint> points;
    std::vector<WalkReport> reports;  // in the order the points first changed
    std::map<std::string, std::size_t> reportOf;
};

WalkTest StartWalkTest(const std::vector<NamedPoint> &points);
// Notes the changes of named points; other points are not on the sheet.
void NoteWalkChanges(WalkTest &walk, const std::vector<SeenChange> &changes, std::chrono::system_clock::time_point when);
// The named points that have not reported.
std::size_t NeverReported(const WalkTest &walk);
// The sheet: a heading, the points that reported in their order, with the
// UTC time of their first change and the values they took, then the
// points that never reported. `title` starts the heading.
std::vector<std::string> WalkSheetLines(const WalkTest &walk, const std::string &title = "walk test");

}  // namespace zelhost
