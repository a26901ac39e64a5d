// Windows has no pseudo-terminals: the panel writes to a COM port.
#include "panel_line.h"

namespace zelpanel {

bool OpenPtyLine(PanelLine *, std::string *, std::string *error) {
    *error = "--pty needs Linux; on Windows give --port COMn";
    return false;
}

}  // namespace zelpanel
