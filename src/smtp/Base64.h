#pragma once

#include <string>
#include <string_view>

namespace smtpin {

// Decodes one line of base64 by itself: characters outside the alphabet are
// skipped, an unfinished group at the end of the line is dropped.
std::string Base64DecodeLine(std::string_view line);

// The six-digit bit text of an alphabet character, or empty.
std::string CharToBits(char c);
// Value of an eight-character bit text; any character but '1' counts as 0.
int BitsToByte(std::string_view bits);

}  // namespace smtpin
