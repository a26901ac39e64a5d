// The line zelpanel sends on: a serial port (through the driver's own serial
// layer), or on Linux the master end of a pseudo-terminal pair it creates.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "pacing.h"
#include "zelwnqx.h"

namespace zelpanel {

struct PanelLine {
    std::string description;  // for messages: "COM6", "pts/4"
    // Why the last write failed, when the line can tell.
    std::shared_ptr<std::string> failure = std::make_shared<std::string>();
    WriteBytes write;
    std::function<void()> close;
    // Waits up to `seconds` until a reader has the line open (true); lines
    // that cannot tell answer true at once.
    std::function<bool(double seconds)> waitForReader;
};

// Opens a serial port by the driver's naming rules (Linux: a name without
// '/' is a device under /dev).
bool OpenPortLine(const std::string &name, const LineSettings &settings, PanelLine *line, std::string *error);

// Creates a pseudo-terminal pair; `portName` receives the slave's port name
// ("pts/N") for the reader. Linux only.
bool OpenPtyLine(PanelLine *line, std::string *portName, std::string *error);

}  // namespace zelpanel
