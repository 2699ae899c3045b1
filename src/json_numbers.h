// Numbers of the native JSON decoder (json_decoder.h says what it makes):
// int and float objects exactly as the interpreter's scanner converts them.
#pragma once

#include "json_cursor.h"

namespace pemu {

// The number at the cursor (its first byte is '-' or a digit), the cursor
// past it: an int, or a float when it has a fraction or an exponent.
Ref decode_number(Cursor& at);

}  // namespace pemu
