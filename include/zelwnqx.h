/*
 * ZELWNQX: host-facing interface of the fire-alarm panel driver.
 *
 * The host loads the driver library (ZELWNQX.DLL on Windows, libzelwnqx.so on
 * Linux), finds its one export ZelMain and hands it a ZelCall block for every
 * request. This header describes those records byte for byte.
 *
 * Layout rules
 *   - On 32-bit targets (the Windows DLL) every record has exactly the offsets
 *     and sizes given in the comments; static_asserts at the end prove it.
 *   - On 64-bit targets (the 64-bit DLL for 64-bit Windows hosts, and
 *     64-bit Linux) the records are the natural layout of the same
 *     declarations: pointers widen to 8 bytes and the fields after them move
 *     to their natural alignment, the same on both systems; static_asserts
 *     prove these offsets too. ChannelBlock holds no pointer and keeps its
 *     exact 13600-byte layout on every target, as do OpenChannelRequest and
 *     ChangeParamsRequest. A 32-bit host loads the 32-bit DLL, a 64-bit host
 *     the 64-bit one: the export name and the order of the fields are the
 *     same.
 *   - All numbers are little-endian.
 *
 * Channels
 *   Every operation works on the ChannelBlock that its own ZelCall names;
 *   one process may serve many channels (64 and more), each with a
 *   reception thread of its own. A channel has at most one reception
 *   thread. OpenChannel on a channel whose port is already open is refused
 *   with ZEL_PORT_FAILED (2), as a second exclusive open of the port would
 *   be, and changes nothing but `enabled`. OpenChannel on a channel whose
 *   port is closed but whose reception runs (after ClosePort) opens the port
 *   and is served by that reception; no second thread is started.
 *
 * Freeing a block, unloading the driver
 *   CloseChannel closes the port, ends the channel's reception and returns
 *   once its thread has ended. After CloseChannel has returned 0, the host
 *   may free the block; with no channel open it may unload the library.
 *   CloseChannel returns ZEL_PORT_FAILED (2) when the port could not be
 *   closed, or when the reception did not end within 5 s (it ends later):
 *   the block must then be kept. ClosePort keeps the reception (ReopenPort
 *   resumes on it). While a reception runs the driver holds a reference to
 *   its own module, so unloading it with channels still receiving leaves it
 *   loaded until they are closed.
 *
 * The `port` field
 *   Besides the lifecycle operations, the driver's reception writes `port`
 *   when the device under it vanishes (0) and when it has reopened it (a new
 *   handle). A host that reads the field reads it as one aligned 32-bit
 *   word.
 *
 * Stack
 *   The host's `err` is called from the reception threads with texts of up
 *   to 999 characters. A reception thread commits 32 KiB of stack and
 *   reserves 1 MiB (Windows: the executable's default reserve); the driver
 *   itself uses under 8 KiB of it, so `err` can count on 24 KiB committed
 *   and may grow into the reserve.
 *
 * Null pointers
 *   ZelMain never dereferences a null ZelCall, channel, request, address or
 *   value pointer: an operation that needs the missing record returns
 *   ZEL_FAILED (1) and changes nothing. EditTagAddress with a null request
 *   or a null addressText returns ZEL_NO_ADDRESS without using up the
 *   process's one dialog. A call with a null channel leaves the driver's
 *   current channel as it was. GetDriverInfo and ValidateAddress need no
 *   channel.
 */
#ifndef ZELWNQX_H
#define ZELWNQX_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#define ZEL_CALL __stdcall
#else
#define ZEL_CALL
#endif

#if defined(ZELWNQX_BUILDING_DRIVER)
#if defined(_WIN32)
#define ZEL_EXPORT
#else
#define ZEL_EXPORT __attribute__((visibility("default")))
#endif
#else
#define ZEL_EXPORT
#endif

/* Operation codes: ZelCall.operation. */
enum ZelOperation {
    ZEL_OP_OPEN_CHANNEL = 1,
    ZEL_OP_PURGE_INPUT = 2,
    ZEL_OP_VALIDATE_ADDRESS = 3,
    ZEL_OP_UNSUPPORTED_4 = 4,
    ZEL_OP_READ_TAG = 5,
    ZEL_OP_UNSUPPORTED_6 = 6,
    ZEL_OP_WRITE_PARAMETER = 7,
    ZEL_OP_UNSUPPORTED_10 = 10,
    ZEL_OP_CLOSE_CHANNEL = 11,
    ZEL_OP_CLOSE_PORT = 12,
    ZEL_OP_REOPEN_PORT = 13,
    ZEL_OP_GET_DRIVER_INFO = 14,
    ZEL_OP_CHANGE_ZEL_PARAMS = 15,
    ZEL_OP_EDIT_TAG_ADDRESS = 16
};

/* Result codes of the operations (signed 32-bit). */
enum ZelResult {
    ZEL_OK = 0,
    /* unsupported or unknown operation, parameter code other than 'A', 'F'
       and 'R', host client refused, address rejected, missing record */
    ZEL_FAILED = 1,
    /* port not opened or not closed, or reception thread not started */
    ZEL_PORT_FAILED = 2,
    /* no address confirmed by the Tag Format dialog */
    ZEL_NO_ADDRESS = 53
};

/* Parameter codes of WriteParameter (TagRequest.paramCode). */
enum ZelParameterCode { ZEL_PARAM_A = 65, ZEL_PARAM_F = 70, ZEL_PARAM_R = 82 };

/* Diagnostic tags: addresses that ReadTag reads and ValidateAddress accepts
   with type code 0 beside the seven-digit point addresses, one set per
   channel. No point address is a text of letters, so none changes meaning.
     LINK      0 port open and its device present, 1 device lost and being
               reopened, 2 no port (never opened, closed, disabled, or the
               open failed)
     SILENCE   seconds since the last message was applied (since
               OpenChannel when none has been), at most 65535; 65535 before
               any OpenChannel
     MESSAGES  messages applied since OpenChannel, modulo 65536
     LOSSES    device losses since OpenChannel, at most 65535
     NOISE     bytes dropped as belonging to no message since OpenChannel,
               at most 65535
     KNOWN     1 once the panel's clear command has been applied since
               OpenChannel, and the port has been neither closed nor lost
               since: the table is the panel's whole state; else 0. The
               panel never resends its states: after a host or gateway
               restart (OpenChannel), reset the panel to make them known. */
#define ZEL_TAG_LINK "LINK"
#define ZEL_TAG_SILENCE "SILENCE"
#define ZEL_TAG_MESSAGES "MESSAGES"
#define ZEL_TAG_LOSSES "LOSSES"
#define ZEL_TAG_NOISE "NOISE"
#define ZEL_TAG_KNOWN "KNOWN"
enum ZelLinkState { ZEL_LINK_UP = 0, ZEL_LINK_LOST = 1, ZEL_LINK_NO_PORT = 2 };

/* Line settings: bits per second, data bits, stop-bits code (0 one,
   1 one and a half, 2 two), parity code (0 none, 1 odd, 2 even, 3 mark,
   4 space). 8 bytes. */
typedef struct LineSettings {
    uint16_t baudRate;
    uint16_t dataBits;
    uint16_t stopBits;
    uint16_t parity;
} LineSettings;

/* One port's name, line settings and flow-control word. 22 bytes. */
typedef struct PortBlock {
    char name[12];             /* 0x00 NUL-terminated, at most 11 characters */
    LineSettings lineSettings; /* 0x0C */
    uint16_t flowFlags;        /* 0x14 */
} PortBlock;

enum {
    ZEL_RX_BUFFER_SIZE = 1000,
    ZEL_BUSES = 9,
    ZEL_SLOTS = 9,
    ZEL_POINTS = 155,
    ZEL_STATUS_TABLE_SIZE = 9 * 9 * 155,
    ZEL_CHANNEL_BLOCK_SIZE = 13600
};

/* The per-channel record. The host allocates it with the size GetDriverInfo
   reports and passes it in every call; `port` must read zero until
   OpenChannel stores a handle. 13600 bytes on every target. */
typedef struct ChannelBlock {
    uint32_t readTimeout;      /* 0x000 read time-out, 10-ms units */
    uint32_t enabled;          /* 0x004 */
    uint32_t port;             /* 0x008 open port handle, 0 = none (see "The port field") */
    PortBlock portBlock;       /* 0x00C */
    uint16_t clientId;         /* 0x022 */
    uint16_t paramF;           /* 0x024 */
    uint16_t paramA;           /* 0x026 */
    uint16_t paramR;           /* 0x028 */
    uint8_t channelNumber;     /* 0x02A */
    char rxBuffer[ZEL_RX_BUFFER_SIZE];                       /* 0x02B */
    uint8_t statusTable[ZEL_BUSES][ZEL_SLOTS][ZEL_POINTS];   /* 0x413 */
    uint8_t reserved[2];       /* 0x351E never touched */
} ChannelBlock;

/* The call block handed to ZelMain. 20 bytes on 32-bit targets, 32 on
   64-bit ones (channelNumber 0x0C, request 0x18). */
typedef struct ZelCall {
    ChannelBlock *channel;     /* 0x00 */
    uint32_t operation;        /* 0x04 */
    int32_t channelNumber;     /* 0x08 read by OpenChannel only */
    uint32_t unused;           /* 0x0C never read */
    void *request;             /* 0x10 the operation's request record */
} ZelCall;

/* The host's record through which a tag value passes. */
typedef struct TagValue {
    uint16_t reserved;         /* 0x00 */
    uint16_t value;            /* 0x02 */
} TagValue;

/* Request of ValidateAddress, ReadTag and WriteParameter. 44 bytes on
   32-bit targets; 56 on 64-bit ones (typeCode 0x0C, paramCode 0x10,
   value 0x30). */
typedef struct TagRequest {
    const char *address;       /* 0x00 TagAddress text */
    uint32_t reserved04;       /* 0x04 */
    int32_t typeCode;          /* 0x08 */
    uint32_t paramCode;        /* 0x0C */
    uint8_t reserved10[24];    /* 0x10 */
    TagValue *value;           /* 0x28 */
} TagRequest;

/* Filled by GetDriverInfo. 32 bytes on 32-bit targets; 48 on 64-bit ones
   (shortName 0x08, banner 0x10, channelBlockSize 0x18, lineSettings 0x20,
   fixed1C 0x28). */
typedef struct DriverInfo {
    uint32_t code;             /* 0x00 82 */
    const char *shortName;     /* 0x04 "Quon" */
    const char *banner;        /* 0x08 code page 437 text */
    uint32_t channelBlockSize; /* 0x0C 13600 */
    uint32_t fixed10;          /* 0x10 4 */
    LineSettings lineSettings; /* 0x14 defaults 9600, 8, 0, 0 */
    uint32_t fixed1C;          /* 0x1C 0x00430028 */
} DriverInfo;

/* Request of OpenChannel. 28 bytes on every target. */
typedef struct OpenChannelRequest {
    char portName[12];         /* 0x00 */
    uint32_t enabled;          /* 0x0C */
    uint32_t readTimeout;      /* 0x10 10-ms units */
    LineSettings lineSettings; /* 0x14 */
} OpenChannelRequest;

/* Request of ChangeZelParams. 24 bytes on every target. */
typedef struct ChangeParamsRequest {
    char portName[16];         /* 0x00 at most 11 characters */
    LineSettings lineSettings; /* 0x10 baudRate 0 keeps the stored settings */
} ChangeParamsRequest;

/* Request of EditTagAddress. 8 bytes on 32-bit targets, 16 on 64-bit ones. */
typedef struct EditTagAddressRequest {
    char *addressText;         /* 0x00 receives 7 digits and a NUL */
    void *hostWindow;          /* 0x04 window handle */
} EditTagAddressRequest;

/* The driver's only export. */
ZEL_EXPORT int32_t ZEL_CALL ZelMain(ZelCall *call);

typedef int32_t(ZEL_CALL *ZelMainFunction)(ZelCall *call);

#ifdef __cplusplus
}
#endif

/* Layout proofs. */
#ifdef __cplusplus
#define ZEL_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#else
#define ZEL_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

ZEL_STATIC_ASSERT(sizeof(LineSettings) == 8, "LineSettings");
ZEL_STATIC_ASSERT(sizeof(PortBlock) == 22, "PortBlock");
ZEL_STATIC_ASSERT(offsetof(PortBlock, lineSettings) == 0x0C, "PortBlock.lineSettings");
ZEL_STATIC_ASSERT(offsetof(PortBlock, flowFlags) == 0x14, "PortBlock.flowFlags");

ZEL_STATIC_ASSERT(offsetof(ChannelBlock, readTimeout) == 0x000, "readTimeout");
ZEL_STATIC_ASSERT(offsetof(ChannelBlock, enabled) == 0x004, "enabled");
ZEL_STATIC_ASSERT(offsetof(ChannelBlock, port) == 0x008, "port");
ZEL_STATIC_ASSERT(offsetof(ChannelBlock, portBlock) == 0x00C, "portBlock");
ZEL_STATIC_ASSERT(offsetof(ChannelBlock, portBlock.lineSettings.baudRate) == 0x018, "baudRate");
ZEL_STATIC_ASSERT(offsetof(ChannelBlock, portBlock.lineSettings.dataBits) == 0x01A, "dataBits");
ZEL_STATIC_ASSERT(offsetof(ChannelBlock, portBlock.lineSettings.stopBits) == 0x01C, "stopBits");
ZEL_STATIC_ASSERT(offsetof(ChannelBlock, portBlock.lineSettings.parity) == 0x01E, "parity");
ZEL_STATIC_ASSERT(offsetof(ChannelBlock, portBlock.flowFlags) == 0x020, "flowFlags");
ZEL_STATIC_ASSERT(offsetof(ChannelBlock, clientId) == 0x022, "clientId");
ZEL_STATIC_ASSERT(offsetof(ChannelBlock, paramF) == 0x024, "paramF");
ZEL_STATIC_ASSERT(offsetof(ChannelBlock, paramA) == 0x026, "paramA");
ZEL_STATIC_ASSERT(offsetof(ChannelBlock, paramR) == 0x028, "paramR");
ZEL_STATIC_ASSERT(offsetof(ChannelBlock, channelNumber) == 0x02A, "channelNumber");
ZEL_STATIC_ASSERT(offsetof(ChannelBlock, rxBuffer) == 0x02B, "rxBuffer");
ZEL_STATIC_ASSERT(offsetof(ChannelBlock, statusTable) == 0x413, "statusTable");
ZEL_STATIC_ASSERT(sizeof(((ChannelBlock *)0)->statusTable) == 12555, "statusTable size");
ZEL_STATIC_ASSERT(sizeof(ChannelBlock) == ZEL_CHANNEL_BLOCK_SIZE, "ChannelBlock size");

ZEL_STATIC_ASSERT(sizeof(TagValue) == 4 && offsetof(TagValue, value) == 2, "TagValue");

ZEL_STATIC_ASSERT(sizeof(OpenChannelRequest) == 0x1C, "OpenChannelRequest");
ZEL_STATIC_ASSERT(offsetof(OpenChannelRequest, enabled) == 0x0C, "OpenChannelRequest.enabled");
ZEL_STATIC_ASSERT(offsetof(OpenChannelRequest, readTimeout) == 0x10, "OpenChannelRequest.readTimeout");
ZEL_STATIC_ASSERT(offsetof(OpenChannelRequest, lineSettings) == 0x14, "OpenChannelRequest.lineSettings");

ZEL_STATIC_ASSERT(sizeof(ChangeParamsRequest) == 0x18, "ChangeParamsRequest");
ZEL_STATIC_ASSERT(offsetof(ChangeParamsRequest, lineSettings) == 0x10, "ChangeParamsRequest.lineSettings");

#if UINTPTR_MAX == 0xFFFFFFFFu
ZEL_STATIC_ASSERT(sizeof(ZelCall) == 0x14, "ZelCall size");
ZEL_STATIC_ASSERT(offsetof(ZelCall, channel) == 0x00, "ZelCall.channel");
ZEL_STATIC_ASSERT(offsetof(ZelCall, operation) == 0x04, "ZelCall.operation");
ZEL_STATIC_ASSERT(offsetof(ZelCall, channelNumber) == 0x08, "ZelCall.channelNumber");
ZEL_STATIC_ASSERT(offsetof(ZelCall, request) == 0x10, "ZelCall.request");

ZEL_STATIC_ASSERT(sizeof(TagRequest) == 0x2C, "TagRequest size");
ZEL_STATIC_ASSERT(offsetof(TagRequest, address) == 0x00, "TagRequest.address");
ZEL_STATIC_ASSERT(offsetof(TagRequest, typeCode) == 0x08, "TagRequest.typeCode");
ZEL_STATIC_ASSERT(offsetof(TagRequest, paramCode) == 0x0C, "TagRequest.paramCode");
ZEL_STATIC_ASSERT(offsetof(TagRequest, value) == 0x28, "TagRequest.value");

ZEL_STATIC_ASSERT(sizeof(DriverInfo) == 0x20, "DriverInfo size");
ZEL_STATIC_ASSERT(offsetof(DriverInfo, shortName) == 0x04, "DriverInfo.shortName");
ZEL_STATIC_ASSERT(offsetof(DriverInfo, banner) == 0x08, "DriverInfo.banner");
ZEL_STATIC_ASSERT(offsetof(DriverInfo, channelBlockSize) == 0x0C, "DriverInfo.channelBlockSize");
ZEL_STATIC_ASSERT(offsetof(DriverInfo, fixed10) == 0x10, "DriverInfo.fixed10");
ZEL_STATIC_ASSERT(offsetof(DriverInfo, lineSettings) == 0x14, "DriverInfo.lineSettings");
ZEL_STATIC_ASSERT(offsetof(DriverInfo, fixed1C) == 0x1C, "DriverInfo.fixed1C");

ZEL_STATIC_ASSERT(sizeof(EditTagAddressRequest) == 8, "EditTagAddressRequest size");
ZEL_STATIC_ASSERT(offsetof(EditTagAddressRequest, hostWindow) == 4, "EditTagAddressRequest.hostWindow");
#elif UINTPTR_MAX == 0xFFFFFFFFFFFFFFFFu
/* 64-bit hosts (the 64-bit DLL, 64-bit Linux): the natural layout, the same
   on Windows and Linux, since no field is a `long`. */
ZEL_STATIC_ASSERT(sizeof(ZelCall) == 0x20, "ZelCall size");
ZEL_STATIC_ASSERT(offsetof(ZelCall, operation) == 0x08, "ZelCall.operation");
ZEL_STATIC_ASSERT(offsetof(ZelCall, channelNumber) == 0x0C, "ZelCall.channelNumber");
ZEL_STATIC_ASSERT(offsetof(ZelCall, request) == 0x18, "ZelCall.request");

ZEL_STATIC_ASSERT(sizeof(TagRequest) == 0x38, "TagRequest size");
ZEL_STATIC_ASSERT(offsetof(TagRequest, typeCode) == 0x0C, "TagRequest.typeCode");
ZEL_STATIC_ASSERT(offsetof(TagRequest, paramCode) == 0x10, "TagRequest.paramCode");
ZEL_STATIC_ASSERT(offsetof(TagRequest, value) == 0x30, "TagRequest.value");

ZEL_STATIC_ASSERT(sizeof(DriverInfo) == 0x30, "DriverInfo size");
ZEL_STATIC_ASSERT(offsetof(DriverInfo, shortName) == 0x08, "DriverInfo.shortName");
ZEL_STATIC_ASSERT(offsetof(DriverInfo, banner) == 0x10, "DriverInfo.banner");
ZEL_STATIC_ASSERT(offsetof(DriverInfo, channelBlockSize) == 0x18, "DriverInfo.channelBlockSize");
ZEL_STATIC_ASSERT(offsetof(DriverInfo, fixed10) == 0x1C, "DriverInfo.fixed10");
ZEL_STATIC_ASSERT(offsetof(DriverInfo, lineSettings) == 0x20, "DriverInfo.lineSettings");
ZEL_STATIC_ASSERT(offsetof(DriverInfo, fixed1C) == 0x28, "DriverInfo.fixed1C");

ZEL_STATIC_ASSERT(sizeof(EditTagAddressRequest) == 16, "EditTagAddressRequest size");
ZEL_STATIC_ASSERT(offsetof(EditTagAddressRequest, hostWindow) == 8, "EditTagAddressRequest.hostWindow");
#endif

#endif /* ZELWNQX_H */
