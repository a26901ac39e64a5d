#include "point_watch.h"

#include <algorithm>
#include <cstdio>

#include "host_session.h"

namespace zelhost {

const std::vector<std::string> &TableAddresses() {
    static const std::vector<std::string> addresses = [] {
        std::vector<std::string> all;
        char address[16];
        for (int bus = 1; bus <= 8; ++bus)
            for (int slot = 1; slot <= 8; ++slot)
                for (int point = 0; point <= 150; ++point) {
                    std::snprintf(address, sizeof address, "%02d%02d%03d", bus, slot, point);
                    all.emplace_back(address);
                }
        return all;
    }();
    return addresses;
}

PointWatch StartWatch(const ReadPoint &read) {
    PointWatch watch;
    watch.addresses = TableAddresses();
    watch.values.reserve(watch.addresses.size());
    for (const std::string &a : watch.addresses) watch.values.push_back(read(a));
    return watch;
}

std::size_t WatchIndex(const std::string &address) {
    const auto digits = [&](std::size_t at, std::size_t count) {
        std::size_t value = 0;
        for (std::size_t i = at; i < at + count; ++i) value = value * 10 + static_cast<std::size_t>(address[i] - '0');
        return value;
    };
    return ((digits(0, 2) - 1) * 8 + (digits(2, 2) - 1)) * 151 + digits(4, 3);
}

void Record(PointWatch &watch, const std::vector<SeenChange> &changes) {
    for (const SeenChange &change : changes) {
        watch.values[WatchIndex(change.address)] = change.after;
        watch.history[change.address].push_back(change.after);
    }
}

std::string NonZeroView(const PointWatch &watch, std::size_t limit) {
    std::string text;
    std::size_t shown = 0, total = 0;
    for (std::size_t i = 0; i < watch.addresses.size(); ++i) {
        if (watch.values[i] == 0) continue;
        ++total;
        if (shown == limit) continue;
        ++shown;
        text += (text.empty() ? "" : " ") + watch.addresses[i] + "=" + std::to_string(watch.values[i]);
    }
    if (total == 0) return "(none)";
    if (total > shown) text += " (+" + std::to_string(total - shown) + " more)";
    return text;
}

std::vector<std::string> ActivePointLines(const PointWatch &watch, const std::vector<NamedPoint> &names,
                                          const std::string &title) {
    std::vector<std::string> lines{title + ": "};
    std::size_t active = 0;
    std::string group;
    for (std::size_t i = 0; i < watch.addresses.size(); ++i) {
        if (watch.values[i] == 0) continue;
        ++active;
        const std::string &address = watch.addresses[i];
        // The table's order is bus, slot, point: each group comes whole.
        if (address.compare(0, 4, group) != 0) {
            group = address.substr(0, 4);
            lines.push_back("  bus " + group.substr(0, 2) + ", slot " + group.substr(2, 2));
        }
        const NamedPoint *named = NamedPointAt(names, address);
        char line[160];
        std::snprintf(line, sizeof line, "    %s  %-13s %d%s%s", address.c_str(), AddressTypeOf(address), watch.values[i],
                      named != nullptr ? "  " : "", named != nullptr ? named->name.c_str() : "");
        lines.emplace_back(line);
    }
    lines.front() += active == 0 ? "none" : std::to_string(active);
    return lines;
}

std::vector<SummaryRow> CompareWithSent(const std::vector<zeltools::Expectation> &expected,
                                        const std::map<std::string, std::vector<int>> &history) {
    std::vector<zeltools::Expectation> ordered = expected;
    std::stable_sort(ordered.begin(), ordered.end(),
                     [](const auto &a, const auto &b) { return a.sequence < b.sequence; });
    std::map<std::string, SummaryRow> rows;
    for (const zeltools::Expectation &e : ordered) {
        SummaryRow &row = rows[e.address];
        row.address = e.address;
        // A value equal to the one before is no change to be seen.
        const int previous = row.sent.empty() ? 0 : row.sent.back();
        if (e.value != previous) row.sent.push_back(e.value);
    }
    for (const auto &[address, values] : history) {
        SummaryRow &row = rows[address];
        row.address = address;
        row.read = values;
    }
    std::vector<SummaryRow> out;
    for (auto &[address, row] : rows) {
        std::size_t found = 0;  // values read found in order among those sent
        for (std::size_t s = 0; s < row.sent.size() && found < row.read.size(); ++s) found += row.sent[s] == row.read[found];
        const int sentLast = row.sent.empty() ? 0 : row.sent.back();
        const int readLast = row.read.empty() ? 0 : row.read.back();
        row.matches = found == row.read.size() && sentLast == readLast;
        row.allSeen = row.matches && row.sent == row.read;
        out.push_back(row);
    }
    return out;
}

std::string ValuesText(const std::vector<int> &values) {
    if (values.empty()) return "-";
    std::string text;
    for (int v : values) text += (text.empty() ? "" : " ") + std::to_string(v);
    return text;
}

}  // namespace zelhost
