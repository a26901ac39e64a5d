// The panel's messages: events in their readable form, the wire text of a
// message (header, record count, 24-character records; buses and slots
// counted from 0 on the wire, from 1 in tag addresses) and the table
// changes a message is expected to cause in the driver.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace zelpanel {

// The readable event names. `Kind` is any event kind with its raw point code.
enum class EventName { Ckt, Shorted, Battery, Bit0, Bit1, Kind };

struct PanelEvent {
    EventName name = EventName::Bit0;
    int bus = 1;    // tag numbering, 1-8
    int slot = 1;   // tag numbering, 1-8
    int point = 0;  // tag point (not used by Battery and Kind)
    int kind = 0;   // Kind only: 0-15
    int code = 0;   // Kind only: 0-255
};

// One 24-character record as it goes on the wire.
struct WireRecord {
    int busDigit = 0;
    int kind = 0;
    int slotDigit = 0;
    int code = 0;
};

enum class MessageType { Events, Clear, Raw };

struct PanelMessage {
    MessageType type = MessageType::Events;
    std::vector<PanelEvent> events;  // Events: 1-15
    std::string raw;                 // Raw: the bytes sent as they are
};

inline constexpr int kMaxRecords = 15;

WireRecord RecordOf(const PanelEvent &event);
std::string RecordText(const WireRecord &record);
// The bytes of a message on the line.
std::string WireText(const PanelMessage &message);

// Readable forms, as the parser takes them back.
std::string Describe(const PanelEvent &event);
std::string Describe(const PanelMessage &message);

// One message from its readable form: events separated by ';', or "clear",
// or raw "...". Returns false with a one-line reason.
bool ParseMessage(std::string_view text, PanelMessage *message, std::string *error);

// A point's tag address text, BBSSPPP.
std::string AddressText(int bus, int slot, int point);

// The driver's table as the panel's messages leave it, point by point, for
// the points that ReadTag can read.
struct TableModel {
    std::map<std::string, int> values;  // address -> non-zero value
};

struct PointChange {
    std::string address;
    int value = 0;
};

// Applies a message to the model and returns the points whose value it
// changes. `predicted` is false for a raw message, whose effect is not
// worked out.
std::vector<PointChange> ApplyMessage(TableModel &model, const PanelMessage &message, bool *predicted);

}  // namespace zelpanel
