// A serial port opened and written with the driver's serial layer, so the
// panel side configures the line exactly as the driver does.
#include "../../serial/serial_port.h"
#include "panel_line.h"
#include "tool_cli.h"
#include "wire_text.h"

namespace zelpanel {

bool OpenPortLine(const std::string &name, const LineSettings &settings, PanelLine *line, std::string *error) {
    constexpr uint16_t kDtrAndRtsOn = 0x4333;
    zel::PortHandle port = 0;
    const int32_t result = zel::OpenSerialPort(name.c_str(), settings, kDtrAndRtsOn, &port);
    if (result != zel::kSerialOk) {
        // The serial layer tells only that the open failed; the system says why.
        std::string why = result == zel::kSerialCannotOpen ? zeltools::PortOpenProblem(name) : "";
        if (why.empty()) {
            static const char *const kWhy[] = {"", "cannot open it", "", "", "it is not a serial port", "it refuses the line settings", "", "i/o failed"};
            why = result >= 0 && result <= 7 && kWhy[result][0] ? kWhy[result] : "failed";
        }
        *error = "cannot open port " + zeltools::ShownText(name) + ": " + why;
        return false;
    }
    line->description = zeltools::ShownText(name);
    line->write = [port](const char *bytes, std::size_t count) {
        uint32_t written = 0;
        return zel::WriteSerial(port, bytes, static_cast<uint32_t>(count), &written) == zel::kSerialOk;
    };
    line->close = [port] { zel::CloseSerialPort(port); };
    line->waitForReader = [](double) { return true; };
    return true;
}

}  // namespace zelpanel
