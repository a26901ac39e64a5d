// A pseudo-terminal pair standing in for a serial line: the driver opens the
// slave end by name, the test plays the panel on the master end.
#pragma once

#include <chrono>
#include <functional>
#include <string>

namespace zeltest {

class PtyPair {
public:
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair &) = delete;
    PtyPair &operator=(const PtyPair &) = delete;

    // The slave's name as a port name: "pts/N" (a device under /dev).
    const std::string &PortName() const { return portName_; }
    const std::string &SlavePath() const { return slavePath_; }
    int MasterFd() const { return master_; }

    // Writes all of `bytes` to the master end.
    void Send(const std::string &bytes) const;
    // Writes `bytes` paced as on a line at `baud` bits per second (10 bits
    // per character), in small chunks.
    void SendPaced(const std::string &bytes, int baud) const;
    // Everything the driver wrote to the line so far (non-blocking).
    std::string Receive() const;
    // Closes the master end: the port vanishes under the driver.
    void CloseMaster();

private:
    int master_ = -1;
    std::string slavePath_;
    std::string portName_;
};

// Waits until `done` holds or `timeout` passes; returns whether it held.
bool WaitUntil(const std::function<bool()> &done, std::chrono::milliseconds timeout);

// Why `path` cannot be opened for exclusive use now, and which other
// processes hold it: for the message of a failed open.
std::string WhyNotOpenable(const std::string &path);

// Open file descriptors of this process.
int OpenDescriptorCount();

// Milliseconds since an arbitrary start, monotonic.
double NowMs();

}  // namespace zeltest
