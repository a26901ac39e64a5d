#include "walk_test.h"

#include <algorithm>
#include <cstdio>

#include "host_session.h"

namespace zelhost {
namespace {

// "0101001  Regular       Lobby, north", the name padded to `width`
// characters as shown.
std::string PointColumns(const std::string &address, const std::string &name, std::size_t width) {
    char text[64];
    std::snprintf(text, sizeof text, "%s  %-13s ", address.c_str(), AddressTypeOf(address));
    return text + PaddedToWidth(name, width);
}

std::string ChangeText(const WalkChange &change) {
    return std::to_string(change.before) + " -> " + std::to_string(change.after);
}

void Note(std::vector<WalkReport> &reports, std::map<std::string, std::size_t> &index, const SeenChange &change,
          WallTime when) {
    const auto [it, first] = index.emplace(change.address, reports.size());
    if (first) reports.push_back({change.address, {}});
    reports[it->second].changes.push_back({when, change.before, change.after});
}

}  // namespace

WalkTest StartWalkTest(const std::vector<NamedPoint> &points) {
    WalkTest walk;
    walk.points = points;
    return walk;
}

void NoteWalkChanges(WalkTest &walk, const std::vector<SeenChange> &changes, WallTime when) {
    for (const SeenChange &change : changes) {
        if (NamedPointAt(walk.points, change.address) != nullptr) {
            Note(walk.reports, walk.reportOf, change, when);
        } else {
            Note(walk.unlisted, walk.unlistedOf, change, when);
        }
    }
}

void NoteWalkLine(WalkTest &walk, const std::string &what, WallTime when) { walk.line.push_back({when, what}); }

std::size_t NeverReported(const WalkTest &walk) { return walk.points.size() - walk.reports.size(); }

std::vector<std::string> WalkSheetLines(const WalkTest &walk, TimeText time, const std::string &title) {
    std::vector<std::string> lines{title + ": " + std::to_string(walk.reports.size()) + " of " +
                                   std::to_string(walk.points.size()) + " named points reported"};
    std::size_t width = 0;
    for (const NamedPoint &point : walk.points) width = std::max(width, ShownWidth(point.name));
    for (const WalkReport &report : walk.reports) {
        const std::string columns = PointColumns(report.address, NamedPointAt(walk.points, report.address)->name, width);
        for (const WalkChange &change : report.changes)
            lines.push_back("  " + time(change.when) + "  " + columns + "  " + ChangeText(change));
    }
    if (NeverReported(walk) > 0) {
        lines.push_back("never reported: " + std::to_string(NeverReported(walk)));
        for (const NamedPoint &point : walk.points)
            if (walk.reportOf.count(point.address) == 0) lines.push_back("  " + PointColumns(point.address, point.name, 0));
    }
    if (!walk.unlisted.empty()) {
        lines.push_back("reported but not on the list: " + std::to_string(walk.unlisted.size()));
        for (const WalkReport &report : walk.unlisted)
            for (const WalkChange &change : report.changes)
                lines.push_back("  " + time(change.when) + "  " + PointColumns(report.address, "", 0) + " " + ChangeText(change));
    }
    if (!walk.line.empty()) {
        lines.push_back("line:");
        for (const LineNote &note : walk.line) lines.push_back("  " + time(note.when) + "  " + note.what);
    }
    return lines;
}

}  // namespace zelhost
