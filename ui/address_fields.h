// The tests run on the dialog's address fields and the composition of the
// seven-digit tag address from them. Results: 1 true or passed, 0 not.
#pragma once

#include <cstdint>

#include "window_system.h"

namespace zel {

// Fields are read as at most their first 3 characters.
inline constexpr int kFieldTextSize = 4;

struct FieldText {
    char text[kFieldTextSize];
};

FieldText ReadField(WindowHandle dialog, int controlId);

// Canonical texts, as the spins write them.
int32_t AllDigits(const char *text);         // also 1 for the empty text
int32_t BusSlotTextValid(const char *text);  // 2 digits, 01 to 08
int32_t PointTextValid(const char *text);    // 3 digits, pointMin to pointMax

// Run on OK in this order; each shows the first failure's message, owned
// by the dialog, and then gives 0.
int32_t CheckFieldsPresent(WindowHandle dialog);
int32_t CheckFieldRanges(WindowHandle dialog);
// Fills composedAddress from the fields; run only after both checks passed.
int32_t ComposeTagAddress(WindowHandle dialog);

}  // namespace zel
