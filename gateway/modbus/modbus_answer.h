// One Modbus request answered through libmodbus: the decision of
// modbus_map.h framed by modbus_reply or modbus_reply_exception. Shared by
// the server's connections and the fuzz target.
#pragma once

#include <modbus.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "modbus_map.h"

namespace zelhost {

// Answers the request ADU on `context`'s socket. False, with the reason,
// when the connection must end: a malformed frame ("malformed frame: ..."),
// a client that takes no answers (the socket's send time-out ran out), or
// another failure to send.
bool AnswerModbusRequest(modbus_t *context, const uint8_t *adu, std::size_t length, const std::vector<int> &units,
                         const TagReader &reader, std::string *why);

}  // namespace zelhost
