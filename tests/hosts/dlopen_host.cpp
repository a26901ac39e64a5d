// A host program that loads the driver exactly as a host does: dlopen by
// path with local binding, ZelMain found with dlsym. It links nothing of the
// driver or of the host library; the host library comes in as the driver's
// own dependency. If the driver's log calls reached glibc's err(3), the
// first log line would end this process with exit status 32.
//
// Usage: dlopen_host DRIVER_LIBRARY LOG_FILE
#include <dlfcn.h>

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

}  // namespace

int main(int argc, char **argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s DRIVER_LIBRARY LOG_FILE\n", argv[0]);
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

    std::ifstream in(argv[2]);
    std::stringstream log;
    log << in.rdbuf();
    Check(log.str() == "[32] ZELQuon : Fail to open ttyNOSUCH\n", "the line reached the host library's log");
    if (failures == 0) std::printf("driver loaded with dlopen; log line went to the host library\n");
    return failures == 0 ? 0 : 1;
}
