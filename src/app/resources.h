// Texts built into the program, in place of resources kept in the
// executable file: each is found by its type and number.
#pragma once

#include <string_view>

namespace zanth {

// The resource of type (for example "TEXT") and number, or an empty view
// when the program has none.
std::string_view LoadResource(const char* type, int number);

// String number from the string table (1400 to 1403: the labels of the
// console's status band), or an empty view when the table has none.
std::string_view LoadResourceString(int number);

}  // namespace zanth
