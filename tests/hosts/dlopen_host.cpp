// A host program that loads the driver exactly as a host does: dlopen by
// path with local binding, ZelMain found with dlsym. It links nothing of the
// driver or of the host library; the host library comes in as the driver's
// own dependency. If the driver's log calls reached glibc's err(3), the
// first log line would end this process with exit status 32.
//
// Then it unloads the driver with a channel still receiving on a
// pseudo-terminal and closes that channel afterwards through the ZelMain
// it kept; and, loaded again, as a host whose configuration changed does:
// CloseChannel, the block freed, dlclose.
//
// Usage: dlopen_host DRIVER_LIBRARY LOG_FILE [without-err]
//   without-err: the host library found first has no `err`; the driver's
//   log lines must then be dropped (and the process survive them).
#include <dlfcn.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "zelwnqx.h"

namespace {

int failures = 0;

void Check(bool ok, const char *what) {
    if (!ok) {
        std::fprintf(stderr, "FAILED: %s\n", what);
        ++failures;
    }
}

// Whether the library is loaded, without a reference of the check's own.
bool Loaded(const char *path) {
    void *handle = dlopen(path, RTLD_NOW | RTLD_NOLOAD);
    if (handle != nullptr) dlclose(handle);
    return handle != nullptr;
}

}  // namespace

int main(int argc, char **argv) {
    const bool withoutErr = argc == 4 && std::strcmp(argv[3], "without-err") == 0;
    if (argc != 3 && !withoutErr) {
        std::fprintf(stderr, "usage: %s DRIVER_LIBRARY LOG_FILE [without-err]\n", argv[0]);
        return 2;
    }
    std::remove(argv[2]);
    setenv("KORVAN_LOG_FILE", argv[2], 1);

    void *driver = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (driver == nullptr) {
        std::fprintf(stderr, "dlopen: %s\n", dlerror());
        return 1;
    }
    auto zelMain = reinterpret_cast<ZelMainFunction>(dlsym(driver, "ZelMain"));
    Check(zelMain != nullptr, "ZelMain is exported");
    if (zelMain == nullptr) return 1;
    Check(dlsym(driver, "OpenChannel") == nullptr && dlsym(driver, "_ZN3zel11OpenChannelERK7ZelCall") == nullptr,
          "nothing but ZelMain is exported");

    DriverInfo info{};
    ZelCall call{};
    call.operation = ZEL_OP_GET_DRIVER_INFO;
    call.request = &info;
    Check(zelMain(&call) == ZEL_OK, "GetDriverInfo answers 0");
    Check(info.channelBlockSize == ZEL_CHANNEL_BLOCK_SIZE, "the block size is 13600");

    auto *channel = static_cast<ChannelBlock *>(std::calloc(1, info.channelBlockSize));
    OpenChannelRequest open{};
    std::strcpy(open.portName, "ttyNOSUCH");
    open.enabled = 1;
    open.readTimeout = 100;
    open.lineSettings = info.lineSettings;
    call = ZelCall{};
    call.channel = channel;
    call.operation = ZEL_OP_OPEN_CHANNEL;
    call.request = &open;
    // Logs through the host library's err, then answers 2.
    Check(zelMain(&call) == ZEL_PORT_FAILED, "OpenChannel on a missing port answers 2");

    TagValue value{};
    TagRequest read{};
    read.address = "0104130";
    read.value = &value;
    call = ZelCall{};
    call.channel = channel;
    call.operation = ZEL_OP_READ_TAG;
    call.request = &read;
    Check(zelMain(&call) == ZEL_OK && value.value == 0, "ReadTag answers from the table");
    if (withoutErr) {
        std::ifstream written(argv[2]);
        Check(!written.is_open() || written.peek() == std::ifstream::traits_type::eof(),
              "no host library wrote the line (the one without err was loaded)");
        if (failures == 0) std::printf("host library without err: the driver's log line was dropped\n");
        return failures == 0 ? 0 : 1;
    }

    std::ifstream in(argv[2]);
    std::stringstream log;
    log << in.rdbuf();
    Check(log.str() == "[32] ZELQuon : Fail to open ttyNOSUCH\n", "the line reached the host library's log");

    // A channel that receives, the driver unloaded, then CloseChannel
    // through the kept ZelMain: once a channel has received, the driver
    // stays loaded until the process ends.
    int master = -1, slave = -1;
    char slaveName[64] = {};
    termios raw{};
    cfmakeraw(&raw);
    if (openpty(&master, &slave, slaveName, &raw, nullptr) != 0) return 1;
    close(slave);
    std::snprintf(open.portName, sizeof open.portName, "%.11s", slaveName + 5);  // without /dev/
    open.readTimeout = 5;
    call = ZelCall{};
    call.channel = channel;
    call.operation = ZEL_OP_OPEN_CHANNEL;
    call.request = &open;
    Check(zelMain(&call) == ZEL_OK, "OpenChannel on a pseudo-terminal answers 0");
    usleep(1200 * 1000);
    const char event[] = "\r\nhhhhhhhhhS1030003000000000000000000";
    Check(write(master, event, sizeof event - 1) == sizeof event - 1, "the panel sends");
    usleep(300 * 1000);
    call = ZelCall{};
    call.channel = channel;
    call.operation = ZEL_OP_READ_TAG;
    call.request = &read;
    Check(zelMain(&call) == ZEL_OK && value.value == 1, "the event reached the table");
    Check(dlclose(driver) == 0, "dlclose");
    Check(Loaded(argv[1]), "the driver stays loaded once a channel received");
    usleep(300 * 1000);
    call.operation = ZEL_OP_CLOSE_CHANNEL;
    call.request = nullptr;
    Check(zelMain(&call) == ZEL_OK, "CloseChannel after dlclose answers 0");
    std::memset(channel, 0xEE, sizeof(ChannelBlock));
    std::free(channel);
    Check(write(master, event, sizeof event - 1) == sizeof event - 1, "the panel sends after the close");
    usleep(300 * 1000);

    // Loaded again, a channel received, closed, its block freed, unloaded.
    driver = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    zelMain = driver != nullptr ? reinterpret_cast<ZelMainFunction>(dlsym(driver, "ZelMain")) : nullptr;
    if (zelMain == nullptr) return 1;
    channel = static_cast<ChannelBlock *>(std::calloc(1, ZEL_CHANNEL_BLOCK_SIZE));
    call = ZelCall{};
    call.channel = channel;
    call.operation = ZEL_OP_OPEN_CHANNEL;
    call.request = &open;
    Check(zelMain(&call) == ZEL_OK, "OpenChannel after reloading answers 0");
    call.operation = ZEL_OP_CLOSE_CHANNEL;
    call.request = nullptr;
    Check(zelMain(&call) == ZEL_OK, "CloseChannel answers 0");
    std::free(channel);
    Check(dlclose(driver) == 0, "dlclose");
    Check(write(master, event, sizeof event - 1) == sizeof event - 1, "the panel sends after the unload");
    usleep(300 * 1000);
    close(master);

    if (failures == 0) std::printf("driver loaded with dlopen; log line went to the host library; unloaded safely\n");
    return failures == 0 ? 0 : 1;
}
