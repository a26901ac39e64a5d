#include "modbus_answer.h"

#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>
#include <cstring>

namespace zelhost {
namespace {

// Why an answer was not sent, from the error of the send. A send that ran
// out of its time-out fails with EAGAIN, or with libmodbus's EMBBADDATA when
// part of the answer had gone: the client does not read what it is sent.
std::string SendFailure(modbus_t *context, int error) {
    timeval limit{};
    socklen_t size = sizeof limit;
    const bool timed = getsockopt(modbus_get_socket(context), SOL_SOCKET, SO_SNDTIMEO, &limit, &size) == 0 &&
                       (limit.tv_sec > 0 || limit.tv_usec > 0);
    if (timed && (error == EAGAIN || error == EWOULDBLOCK || error == EMBBADDATA))
        return "the client takes no answers (send timed out after " + std::to_string(limit.tv_sec) + " s)";
    return std::string("the answer was not sent: ") + modbus_strerror(error);
}

}  // namespace

bool AnswerModbusRequest(modbus_t *context, const uint8_t *adu, std::size_t length, const std::vector<int> &units,
                         const TagReader &reader, std::string *why) {
    ModbusDecision d = DecideModbusRequest(adu, length, units, reader);
    if (d.outcome == ModbusOutcome::kClose) {
        *why = "malformed frame: " + d.why;
        return false;
    }
    int sent = 0;
    if (d.outcome == ModbusOutcome::kException) {
        sent = modbus_reply_exception(context, adu, d.exception);
    } else {
        // A mapping of exactly the registers asked for: libmodbus frames the reply.
        const int count = static_cast<int>(d.values.size());
        std::vector<uint8_t> bits(d.values.begin(), d.values.end());
        modbus_mapping_t mapping{};
        mapping.start_input_bits = mapping.start_input_registers = mapping.start_registers = d.address;
        mapping.nb_input_bits = mapping.nb_input_registers = mapping.nb_registers = count;
        mapping.tab_input_bits = bits.data();
        mapping.tab_input_registers = mapping.tab_registers = d.values.data();
        sent = modbus_reply(context, adu, static_cast<int>(length), &mapping);
    }
    if (sent < 0) {
        *why = SendFailure(context, errno);
        return false;
    }
    return true;
}

}  // namespace zelhost
