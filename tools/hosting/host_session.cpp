#include "host_session.h"

#include <cstdlib>
#include <cstring>
#include <iterator>

namespace zelhost {
namespace {

// Every block handed out stays reachable here: the driver may use it until
// the process ends, so it is never freed.
ChannelBlock *blocksInUse[16];
std::size_t blockCount = 0;

bool AllocateBlock(HostSession *session, std::string *error) {
    if (blockCount == std::size(blocksInUse)) {
        *error = "too many channel blocks";
        return false;
    }
    session->channel = static_cast<ChannelBlock *>(std::calloc(1, session->info.channelBlockSize));
    if (session->channel == nullptr) {
        *error = "out of memory";
        return false;
    }
    blocksInUse[blockCount++] = session->channel;
    return true;
}

}  // namespace

bool StartSession(ZelMainFunction zelMain, HostSession *session, std::string *error) {
    session->zelMain = zelMain;
    session->info = DriverInfo{};
    const int32_t result = CallDriver(*session, ZEL_OP_GET_DRIVER_INFO, &session->info);
    if (result != ZEL_OK) {
        *error = "GetDriverInfo answered " + ResultText(ZEL_OP_GET_DRIVER_INFO, result);
        return false;
    }
    if (session->info.channelBlockSize == 0 || session->info.channelBlockSize > 16u * 1024 * 1024) {
        *error = "GetDriverInfo reports a channel block of " + std::to_string(session->info.channelBlockSize) + " bytes";
        return false;
    }
    return AllocateBlock(session, error);
}

bool AddChannel(const HostSession &session, HostSession *another, std::string *error) {
    *another = session;
    return AllocateBlock(another, error);
}

int32_t CallDriver(HostSession &session, uint32_t operation, void *request, int32_t channelNumber) {
    ZelCall call{};
    call.channel = session.channel;
    call.operation = operation;
    call.channelNumber = channelNumber;
    call.request = request;
    return session.zelMain(&call);
}

int32_t OpenChannel(HostSession &session, const std::string &portName, const LineSettings &line, uint32_t timeoutUnits,
                    int32_t channelNumber) {
    OpenChannelRequest request{};
    std::strncpy(request.portName, portName.c_str(), sizeof request.portName - 1);
    request.enabled = 1;
    request.readTimeout = timeoutUnits;
    request.lineSettings = line;
    return CallDriver(session, ZEL_OP_OPEN_CHANNEL, &request, channelNumber);
}

int32_t CloseChannel(HostSession &session) { return CallDriver(session, ZEL_OP_CLOSE_CHANNEL, nullptr); }

uint16_t ReadTag(HostSession &session, const std::string &address) {
    TagValue value{};
    TagRequest request{};
    request.address = address.c_str();
    request.value = &value;
    CallDriver(session, ZEL_OP_READ_TAG, &request);
    return value.value;
}

int32_t ValidateAddress(HostSession &session, const std::string &address, int32_t typeCode) {
    TagValue value{};
    TagRequest request{};
    request.address = address.c_str();
    request.typeCode = typeCode;
    request.value = &value;
    return CallDriver(session, ZEL_OP_VALIDATE_ADDRESS, &request);
}

const char *OperationName(uint32_t operation) {
    switch (operation) {
        case ZEL_OP_OPEN_CHANNEL: return "OpenChannel";
        case ZEL_OP_PURGE_INPUT: return "PurgeInput";
        case ZEL_OP_VALIDATE_ADDRESS: return "ValidateAddress";
        case ZEL_OP_READ_TAG: return "ReadTag";
        case ZEL_OP_WRITE_PARAMETER: return "WriteParameter";
        case ZEL_OP_CLOSE_CHANNEL: return "CloseChannel";
        case ZEL_OP_CLOSE_PORT: return "ClosePort";
        case ZEL_OP_REOPEN_PORT: return "ReopenPort";
        case ZEL_OP_GET_DRIVER_INFO: return "GetDriverInfo";
        case ZEL_OP_CHANGE_ZEL_PARAMS: return "ChangeZelParams";
        case ZEL_OP_EDIT_TAG_ADDRESS: return "EditTagAddress";
        default: return "an unsupported operation";
    }
}

std::string ResultText(uint32_t operation, int32_t result) {
    const char *meaning = "unknown result";
    switch (result) {
        case ZEL_OK: meaning = "success"; break;
        case ZEL_FAILED:
            meaning = operation == ZEL_OP_OPEN_CHANNEL        ? "the host refused the channel's client"
                      : operation == ZEL_OP_VALIDATE_ADDRESS  ? "address rejected"
                      : operation == ZEL_OP_WRITE_PARAMETER   ? "parameter code other than A, F and R"
                                                              : "unsupported operation or missing record";
            break;
        case ZEL_PORT_FAILED:
            meaning = operation == ZEL_OP_CLOSE_CHANNEL || operation == ZEL_OP_CLOSE_PORT
                          ? "port not closed"
                          : "port not opened, or reception thread not started";
            break;
        case ZEL_NO_ADDRESS: meaning = "no address confirmed"; break;
        default: break;
    }
    return std::to_string(result) + " (" + meaning + ")";
}

bool IsDiagnosticTag(const std::string &text) {
    for (const char *name : {ZEL_TAG_LINK, ZEL_TAG_SILENCE, ZEL_TAG_MESSAGES, ZEL_TAG_LOSSES, ZEL_TAG_NOISE, ZEL_TAG_KNOWN})
        if (text == name) return true;
    return false;
}

std::string DriverVersionText(const DriverInfo &info) {
    const std::string banner = info.banner != nullptr ? info.banner : "";
    const std::size_t at = banner.find("Version ");
    if (at == std::string::npos) return "ZELWNQX (its banner names no version)";
    const std::size_t begin = at + 8;
    return "ZELWNQX " + banner.substr(begin, banner.find(' ', begin) - begin);
}

bool IsAddressText(const std::string &text) {
    if (text.size() != 7) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    return true;
}

const char *AddressTypeOf(const std::string &address) {
    if (!IsAddressText(address)) return "-";
    // The table has buses and slots 00-08; ValidateAddress refuses 09.
    if (address[0] != '0' || address[1] == '9' || address[2] != '0' || address[3] == '9') return "-";
    const int slot = std::atoi(address.substr(2, 2).c_str());
    const int point = std::atoi(address.substr(4, 3).c_str());
    if (point >= 1 && point <= 127) return "Regular";
    if (point >= 130 && point <= 133) return "CKT";
    if (point >= 140 && point <= 143) return "Line Shorted";
    if (point == 148 && slot == 1) return "Battery";
    return "-";
}

}  // namespace zelhost
