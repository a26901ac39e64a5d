// Windows: the console control handler asks the tool to stop; standard
// output is binary (LF stays LF) and the console shows UTF-8.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>

#include "tool_cli.h"

namespace zeltools {
namespace {

BOOL WINAPI OnConsoleControl(DWORD event) {
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT || event == CTRL_CLOSE_EVENT) {
        RequestStop();
        return TRUE;
    }
    return FALSE;
}

}  // namespace

void InstallStopHandler() { SetConsoleCtrlHandler(OnConsoleControl, TRUE); }

void PrepareConsole() {
    SetConsoleOutputCP(CP_UTF8);
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
}

}  // namespace zeltools
