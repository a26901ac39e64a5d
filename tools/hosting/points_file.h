// A points file names the panel's points for the people who watch them: the
// gateway's topics and discovery configs, and monitor's change lines,
// listings, walk-test sheet and event history.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace zelhost {

struct NamedPoint {
    std::string address;
    std::string name;
    std::string type;         // the address's type: Regular, CKT, Line Shorted or Battery
    std::string deviceClass;  // Home Assistant's binary sensor device class, or none
};

// A points file: "address,name[,type[,device class]]" a line; blank lines,
// rows of empty cells (",,") and lines that begin with '#' are skipped, and
// so is a first row that names the columns (its first cell not digits).
// An address must be one the driver accepts for its type; a six-digit one
// is refused as the leading zero a spreadsheet dropped. Fields may be quoted as Excel
// writes them ("0101001","Lobby, north"; "" inside quotes is a quote), and
// type names are taken in any case. Names are UTF-8 topic levels: not
// empty, no '/', '+', '#' or control characters, each once. The device
// class is one of Home Assistant's binary sensor classes. False with
// "line N: reason".
bool ParsePointsFile(const std::string &text, std::vector<NamedPoint> *points, std::string *error);

// The point a file names at `address`, or null.
const NamedPoint *NamedPointAt(const std::vector<NamedPoint> &points, const std::string &address);

// How many columns a name takes on a terminal or in a text file: a
// character each, none for a combining mark, two for a wide East Asian one.
std::size_t ShownWidth(std::string_view utf8);
// The name followed by spaces up to `width` columns as shown.
std::string PaddedToWidth(const std::string &utf8, std::size_t width);

// Whether `text` is well-formed UTF-8 (no overlong forms, surrogates or
// code points above U+10FFFF), as MQTT topics and JSON need.
bool IsUtf8(std::string_view text);

}  // namespace zelhost
