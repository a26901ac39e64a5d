#include "modbus_answer.h"

#include <cerrno>
#include <cstring>

namespace zelhost {

bool AnswerModbusRequest(modbus_t *context, const uint8_t *adu, std::size_t length, const std::vector<int> &units,
                         const TagReader &reader, std::string *why) {
    ModbusDecision d = DecideModbusRequest(adu, length, units, reader);
    if (d.outcome == ModbusOutcome::kClose) {
        *why = d.why;
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
        *why = std::string("the answer was not sent: ") + modbus_strerror(errno);
        return false;
    }
    return true;
}

}  // namespace zelhost
