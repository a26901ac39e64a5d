// Serial lines for Windows tests under Wine: socat joins two
// pseudo-terminals whose links the Wine registry maps to two COM ports, so
// what a test writes to one port arrives on the other, as over a null-modem
// cable. Wine runs Unix programs handed to CreateProcessA, so the test
// starts and stops the link itself.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

namespace zeltest {

class LineLink {
public:
    LineLink(int portA, int portB);
    ~LineLink();
    LineLink(const LineLink &) = delete;
    LineLink &operator=(const LineLink &) = delete;
    bool Up() const { return up_; }
    // Stops the relay: both ports lose their device.
    void Cut();

private:
    int a_, b_;
    bool up_ = false;
};

// The panel's end of a line: a COM port the test writes to.
class PanelPort {
public:
    explicit PanelPort(int port);
    ~PanelPort();
    PanelPort(const PanelPort &) = delete;
    PanelPort &operator=(const PanelPort &) = delete;
    bool Open() const { return handle_ != INVALID_HANDLE_VALUE; }
    void Send(const std::string &bytes) const;
    // Paced as on a line at `baud` (10 bits per character).
    void SendPaced(const std::string &bytes, int baud) const;

private:
    HANDLE handle_;
};

// Runs a Unix shell command from inside Wine and waits for it.
void RunUnix(const std::string &command);

bool WaitUntil(const std::function<bool()> &done, DWORD timeoutMs);

double NowMs();

}  // namespace zeltest
