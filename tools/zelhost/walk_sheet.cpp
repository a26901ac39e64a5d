#include "walk_sheet.h"

#include "host_session.h"
#include "traffic_file.h"

namespace zelhost {
namespace {

TimeText TimeOf(const WalkRecord &record) { return record.utc ? zeltools::UtcTimeText : zeltools::LocalTimeText; }

std::string PortsText(const WalkRecord &record) {
    std::string text;
    for (const SheetPort &port : record.ports)
        text += (text.empty() ? "" : ", ") + port.name + " (channel " + std::to_string(port.channel) + ")";
    return text;
}

struct HeadingRow {
    const char *key;
    std::string value;
};

std::vector<HeadingRow> Heading(const WalkRecord &record) {
    const TimeText time = TimeOf(record);
    return {{"site", record.site},
            {"engineer", record.engineer},
            {"ports", PortsText(record)},
            {"started", time(record.start)},
            {"ended", record.end ? time(*record.end) : "not yet: the walk test runs"},
            {"times", record.utc ? "UTC" : "local time, " + zeltools::LocalZoneText(record.start)},
            {"driver", record.driver}};
}

// A field as spreadsheets read it: quoted when it holds a comma, a quote
// or a line end, a quote doubled.
std::string CsvField(const std::string &text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string quoted = "\"";
    for (const char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + "\"";
}

std::string CsvRow(const std::vector<std::string> &fields) {
    std::string row;
    for (std::size_t i = 0; i < fields.size(); ++i) row += (i > 0 ? "," : "") + CsvField(fields[i]);
    return row + "\r\n";
}

}  // namespace

bool IsCsvName(const std::string &path) {
    if (path.size() < 4) return false;
    std::string end = path.substr(path.size() - 4);
    for (char &c : end) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return end == ".csv";
}

std::string RecordText(const WalkRecord &record) {
    std::string text = "Walk test record\n";
    for (const HeadingRow &row : Heading(record))
        text += "  " + PaddedToWidth(std::string(row.key) + ":", 10) + row.value + "\n";
    for (const SheetPort &port : record.ports) {
        text += "\n";
        const std::string title = record.ports.size() > 1 ? "walk test on " + port.name : "walk test";
        for (const std::string &line : WalkSheetLines(*port.walk, TimeOf(record), title)) text += line + "\n";
    }
    return text;
}

std::string RecordCsv(const WalkRecord &record) {
    std::string csv = CsvRow({"Walk test record"});
    for (const HeadingRow &row : Heading(record)) csv += CsvRow({row.key, row.value});
    csv += "\r\n" + CsvRow({"port", "channel", "entry", "address", "type", "name", "time", "old", "new"});
    const TimeText time = TimeOf(record);
    for (const SheetPort &port : record.ports) {
        const WalkTest &walk = *port.walk;
        const std::string channel = std::to_string(port.channel);
        const auto changes = [&](const WalkReport &report, const std::string &entry, const std::string &name) {
            for (const WalkChange &c : report.changes)
                csv += CsvRow({port.name, channel, entry, report.address, AddressTypeOf(report.address), name, time(c.when),
                               std::to_string(c.before), std::to_string(c.after)});
        };
        for (const WalkReport &report : walk.reports)
            changes(report, "reported", NamedPointAt(walk.points, report.address)->name);
        for (const NamedPoint &point : walk.points)
            if (walk.reportOf.count(point.address) == 0)
                csv += CsvRow({port.name, channel, "never reported", point.address, point.type, point.name, "", "", ""});
        for (const WalkReport &report : walk.unlisted) changes(report, "not on the list", "");
        for (const LineNote &note : walk.line)
            csv += CsvRow({port.name, channel, "line", "", "", note.what, time(note.when), "", ""});
    }
    return csv;
}

}  // namespace zelhost
