#include "points_file.h"

#include <cstdint>
#include <set>

#include "host_session.h"

namespace zelhost {
namespace {

std::string Trimmed(std::string_view text) {
    const std::size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) return "";
    const std::size_t last = text.find_last_not_of(" \t\r");
    return std::string(text.substr(first, last - first + 1));
}

// Splits a line at its commas. A field in double quotes keeps its commas
// and white space, and "" within it is one quote, as Excel saves them.
// False with the reason for a quote left open or text after a closing one.
bool SplitFields(const std::string &line, std::vector<std::string> *fields, std::string *why) {
    std::size_t at = 0;
    for (;;) {
        const std::size_t begin = line.find_first_not_of(" \t", at);
        std::string field;
        std::size_t next = std::string::npos;
        if (begin != std::string::npos && line[begin] == '"') {
            std::size_t i = begin + 1;
            for (;; ++i) {
                if (i >= line.size()) {
                    *why = "a quote is not closed";
                    return false;
                }
                if (line[i] != '"') {
                    field += line[i];
                } else if (i + 1 < line.size() && line[i + 1] == '"') {
                    field += '"';
                    ++i;
                } else {
                    break;
                }
            }
            const std::size_t after = line.find_first_not_of(" \t\r", i + 1);
            if (after != std::string::npos && line[after] != ',') {
                *why = "text after a closing quote";
                return false;
            }
            next = after;
        } else {
            next = line.find(',', at);
            field = Trimmed(std::string_view(line).substr(at, next == std::string::npos ? std::string::npos : next - at));
        }
        fields->push_back(field);
        if (next == std::string::npos) return true;
        at = next + 1;
    }
}

bool AllDigits(const std::string &text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

bool AllEmpty(const std::vector<std::string> &fields) {
    for (const std::string &field : fields)
        if (!field.empty()) return false;
    return true;
}

bool UsableName(const std::string &name) {
    if (name.empty() || name.size() > 64) return false;
    for (unsigned char c : name)
        if (c < 0x20 || c == 0x7F || c == '/' || c == '+' || c == '#') return false;
    return true;
}

bool SameIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

// Home Assistant's binary sensor device classes.
constexpr const char *kDeviceClasses[] = {
    "battery", "battery_charging", "carbon_monoxide", "cold", "connectivity", "door", "garage_door", "gas",
    "heat", "light", "lock", "moisture", "motion", "moving", "occupancy", "opening", "plug", "power",
    "presence", "problem", "running", "safety", "smoke", "sound", "tamper", "update", "vibration", "window"};

bool KnownDeviceClass(const std::string &name) {
    for (const char *known : kDeviceClasses)
        if (name == known) return true;
    return false;
}

}  // namespace

bool ParsePointsFile(const std::string &text, std::vector<NamedPoint> *points, std::string *error) {
    std::vector<NamedPoint> read;
    std::set<std::string> names, addresses;
    std::size_t lineNumber = 0, at = 0;
    bool anyRow = false;
    // A byte-order mark, as Windows editors write one.
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) at = 3;
    while (at <= text.size()) {
        const std::size_t end = text.find('\n', at);
        const std::string line = Trimmed(std::string_view(text).substr(at, end == std::string::npos ? std::string::npos : end - at));
        at = end == std::string::npos ? text.size() + 1 : end + 1;
        ++lineNumber;
        if (line.empty() || line[0] == '#') continue;
        const auto fail = [&](const std::string &why) {
            *error = "line " + std::to_string(lineNumber) + ": " + why;
            return false;
        };
        std::vector<std::string> fields;
        std::string why;
        if (!SplitFields(line, &fields, &why)) return fail(why);
        // The ",,," rows a spreadsheet leaves below its last row.
        if (AllEmpty(fields)) continue;
        // A sheet's first row may name its columns, in any words: an
        // address cell holds digits alone, a heading does not.
        const bool firstRow = !anyRow;
        anyRow = true;
        if (firstRow && !AllDigits(fields[0]) && !fields[0].empty()) continue;
        if (fields.size() < 2 || fields.size() > 4) return fail("expected address,name[,type[,device class]]");
        NamedPoint point{fields[0], fields[1], AddressTypeOf(fields[0]), fields.size() == 4 ? fields[3] : ""};
        if (point.address.size() == 6 && AllDigits(point.address))
            return fail("'" + point.address + "' has six digits: the spreadsheet dropped the leading zero of 0" +
                        point.address + "; format the address column as text and type the address again");
        if (!IsAddressText(point.address)) return fail("'" + point.address + "' is not a seven-digit address BBSSPPP");
        if (point.type == "-")
            return fail(point.address + " is not a tag address of any type (bus and slot 00-08; points 001-127, 130-133, "
                        "140-143, and 148 in slot 01)");
        if (!IsUtf8(point.name)) return fail("the name is not UTF-8: save the file as UTF-8");
        if (!UsableName(point.name))
            return fail("name '" + point.name + "' must be 1-64 characters without '/', '+', '#' or control characters");
        if (fields.size() >= 3 && !fields[2].empty() && !SameIgnoringCase(fields[2], point.type))
            return fail(point.address + " is a " + point.type + " point, not " + fields[2]);
        if (!point.deviceClass.empty() && !KnownDeviceClass(point.deviceClass))
            return fail("'" + point.deviceClass + "' is not a Home Assistant binary sensor device class (smoke, heat, "
                        "problem, safety, battery, ...)");
        if (!names.insert(point.name).second) return fail("name '" + point.name + "' is given twice");
        if (!addresses.insert(point.address).second) return fail(point.address + " is named twice");
        read.push_back(point);
    }
    points->insert(points->end(), read.begin(), read.end());
    return true;
}

const NamedPoint *NamedPointAt(const std::vector<NamedPoint> &points, const std::string &address) {
    for (const NamedPoint &point : points)
        if (point.address == address) return &point;
    return nullptr;
}

namespace {

bool Combining(uint32_t c) {
    return (c >= 0x0300 && c <= 0x036F) || (c >= 0x1AB0 && c <= 0x1AFF) || (c >= 0x1DC0 && c <= 0x1DFF) ||
           (c >= 0x20D0 && c <= 0x20FF) || (c >= 0xFE20 && c <= 0xFE2F) || c == 0x200B || c == 0x200D;
}

bool Wide(uint32_t c) {
    return (c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0xA4CF) || (c >= 0xAC00 && c <= 0xD7A3) ||
           (c >= 0xF900 && c <= 0xFAFF) || (c >= 0xFE30 && c <= 0xFE4F) || (c >= 0xFF00 && c <= 0xFF60) ||
           (c >= 0xFFE0 && c <= 0xFFE6) || (c >= 0x1F300 && c <= 0x1F64F) || (c >= 0x20000 && c <= 0x3FFFD);
}

}  // namespace

std::size_t ShownWidth(std::string_view utf8) {
    std::size_t width = 0;
    for (std::size_t i = 0; i < utf8.size();) {
        const auto lead = static_cast<unsigned char>(utf8[i]);
        const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        uint32_t code = length == 1 ? lead : lead & (0x3F >> (length - 1));
        for (std::size_t k = 1; k < length && i + k < utf8.size(); ++k)
            code = (code << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
        width += Combining(code) ? 0 : Wide(code) ? 2 : 1;
        i += length;
    }
    return width;
}

std::string PaddedToWidth(const std::string &utf8, std::size_t width) {
    const std::size_t shown = ShownWidth(utf8);
    return shown >= width ? utf8 : utf8 + std::string(width - shown, ' ');
}

bool IsUtf8(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const auto byte = [&](std::size_t at) { return static_cast<unsigned char>(text[at]); };
        const unsigned char lead = byte(i);
        std::size_t length = 0;
        uint32_t code = 0;
        if (lead < 0x80) {
            ++i;
            continue;
        }
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
            code = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            code = lead & 0x0F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            code = lead & 0x07;
        } else {
            return false;
        }
        if (i + length > text.size()) return false;
        for (std::size_t k = 1; k < length; ++k) {
            if ((byte(i + k) & 0xC0) != 0x80) return false;
            code = (code << 6) | (byte(i + k) & 0x3F);
        }
        const uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
        if (code < least[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
        i += length;
    }
    return true;
}

}  // namespace zelhost
