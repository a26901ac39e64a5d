#include "wire_text.h"

#include <cstdio>

namespace zeltools {
namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

std::string QuoteText(std::string_view bytes) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out = "\"";
    for (char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
            case '\r': out += "\\r"; break;
            case '\n': out += "\\n"; break;
            case '\t': out += "\\t"; break;
            case '\\': out += "\\\\"; break;
            case '"': out += "\\\""; break;
            default:
                if (c >= 0x20 && c < 0x7F) {
                    out += static_cast<char>(c);
                } else {
                    out += "\\x";
                    out += kHex[c >> 4];
                    out += kHex[c & 0xF];
                }
        }
    }
    out += '"';
    return out;
}

bool ParseQuotedText(std::string_view text, std::string *bytes, std::size_t *used, std::string *error) {
    std::size_t at = 0;
    while (at < text.size() && (text[at] == ' ' || text[at] == '\t')) ++at;
    if (at >= text.size() || text[at] != '"') {
        *error = "expected a quoted text \"...\"";
        return false;
    }
    ++at;
    std::string out;
    while (at < text.size()) {
        const char c = text[at++];
        if (c == '"') {
            *bytes = out;
            *used = at;
            return true;
        }
        if (c != '\\') {
            out += c;
            continue;
        }
        if (at >= text.size()) break;
        const char e = text[at++];
        switch (e) {
            case 'r': out += '\r'; break;
            case 'n': out += '\n'; break;
            case 't': out += '\t'; break;
            case '\\': out += '\\'; break;
            case '"': out += '"'; break;
            case 'x': {
                const int high = at < text.size() ? HexDigit(text[at]) : -1;
                const int low = at + 1 < text.size() ? HexDigit(text[at + 1]) : -1;
                if (high < 0 || low < 0) {
                    *error = "\\x needs two hex digits";
                    return false;
                }
                out += static_cast<char>(high * 16 + low);
                at += 2;
                break;
            }
            default:
                *error = std::string("unknown escape \\") + e;
                return false;
        }
    }
    *error = "quoted text has no closing quote";
    return false;
}

std::string ShownText(std::string_view text, std::size_t limit) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (char ch : text.substr(0, limit)) {
        const auto c = static_cast<unsigned char>(ch);
        if (c >= 0x20 && c < 0x7F) {
            out += ch;
        } else if (c == '\r' || c == '\n' || c == '\t') {
            out += c == '\r' ? "\\r" : c == '\n' ? "\\n" : "\\t";
        } else {
            out += "\\x";
            out += kHex[c >> 4];
            out += kHex[c & 0xF];
        }
    }
    if (text.size() > limit) out += "... (" + std::to_string(text.size()) + " bytes)";
    return out;
}

std::string FormatSeconds(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", seconds);
    return text;
}

}  // namespace zeltools
