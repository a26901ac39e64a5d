#include "walk_test.h"

#include <algorithm>
#include <cstdio>

#include "host_session.h"
#include "traffic_file.h"

namespace zelhost {
namespace {

// "0101001  Regular       Lobby, north", the name padded to `width`.
std::string PointColumns(const NamedPoint &point, std::size_t width) {
    std::string name = point.name;
    if (name.size() < width) name.resize(width, ' ');
    char text[128];
    std::snprintf(text, sizeof text, "%s  %-13s ", point.address.c_str(), point.type.c_str());
    return text + name;
}

std::string ValuesTaken(const std::vector<int> &values) {
    std::string text;
    for (const int value : values) text += (text.empty() ? "" : " -> ") + std::to_string(value);
    return text;
}

}  // namespace

WalkTest StartWalkTest(const std::vector<NamedPoint> &points) {
    WalkTest walk;
    walk.points = points;
    return walk;
}

void NoteWalkChanges(WalkTest &walk, const std::vector<SeenChange> &changes, std::chrono::system_clock::time_point when) {
    for (const SeenChange &change : changes) {
        if (NamedPointAt(walk.points, change.address) == nullptr) continue;
        const auto [it, first] = walk.reportOf.emplace(change.address, walk.reports.size());
        if (first) walk.reports.push_back({change.address, when, {change.before}});
        walk.reports[it->second].values.push_back(change.after);
    }
}

std::size_t NeverReported(const WalkTest &walk) { return walk.points.size() - walk.reports.size(); }

std::vector<std::string> WalkSheetLines(const WalkTest &walk, const std::string &title) {
    std::vector<std::string> lines{title + ": " + std::to_string(walk.reports.size()) + " of " +
                                   std::to_string(walk.points.size()) + " named points reported"};
    std::size_t width = 0;
    for (const NamedPoint &point : walk.points) width = std::max(width, point.name.size());
    for (const WalkReport &report : walk.reports)
        lines.push_back("  " + zeltools::UtcTimeText(report.first) + "  " +
                        PointColumns(*NamedPointAt(walk.points, report.address), width) + "  " + ValuesTaken(report.values));
    if (NeverReported(walk) == 0) return lines;
    lines.push_back("never reported: " + std::to_string(NeverReported(walk)));
    for (const NamedPoint &point : walk.points)
        if (walk.reportOf.count(point.address) == 0) lines.push_back("  " + PointColumns(point, 0));
    return lines;
}

}  // namespace zelhost
