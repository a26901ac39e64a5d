// A walk test: the engineer trips each named point in turn, and the sheet
// shows which reported, every change of each with its time, which never
// did, which points changed that the list does not name (the mis-addressed
// devices a walk test exists to catch), and when the line fell silent or
// was lost.
#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <string>
#include <vector>

#include "point_watch.h"
#include "points_file.h"

namespace zelhost {

using WallTime = std::chrono::system_clock::time_point;
// How the sheet writes a time: UTC or the local time with its offset.
using TimeText = std::string (*)(WallTime time);

struct WalkChange {
    WallTime when;
    int before = 0;
    int after = 0;
};

struct WalkReport {
    std::string address;
    std::vector<WalkChange> changes;  // in their order
};

struct LineNote {
    WallTime when;
    std::string what;  // "silent: no message for 30 s", "lost", "back", "up: messages again"
};

struct WalkTest {
    std::vector<NamedPoint> points;
    std::vector<WalkReport> reports;   // the named points, in the order they first changed
    std::vector<WalkReport> unlisted;  // points that changed and have no name
    std::map<std::string, std::size_t> reportOf, unlistedOf;
    std::vector<LineNote> line;
};

WalkTest StartWalkTest(const std::vector<NamedPoint> &points);
// Notes every change: of a named point as a report, of another as a point
// not on the list.
void NoteWalkChanges(WalkTest &walk, const std::vector<SeenChange> &changes, WallTime when);
void NoteWalkLine(WalkTest &walk, const std::string &what, WallTime when);
// The named points that have not reported.
std::size_t NeverReported(const WalkTest &walk);
// The sheet: a heading, each change of the named points (grouped by point,
// in the order they first reported) with its time, the points that never
// reported, the points not on the list that changed, and the line's
// silences and losses. `title` starts the heading.
std::vector<std::string> WalkSheetLines(const WalkTest &walk, TimeText time, const std::string &title = "walk test");

}  // namespace zelhost
