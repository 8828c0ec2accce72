#pragma once

#include <optional>
#include <string_view>

namespace horalign {

// Line settings read from a settings text such as "9600,N,8,1": baud rate, parity letter
// (N, E, O, M or S), data bits and stop bits, separated by commas. Parts after the baud
// rate may be left out ("9600" alone), taking N, 8 and 1.
struct LineSettings {
  int baud = 9600;
  char parity = 'N';
  int dataBits = 8;
  int stopBits = 1;
  friend bool operator==(const LineSettings&, const LineSettings&) = default;
};

// nullopt when the text cannot be converted: a baud rate that is zero or not a number,
// an unknown parity letter, data bits outside 5..8, stop bits other than 1 or 2, or
// anything left over.
std::optional<LineSettings> ParseLineSettings(std::string_view text);

}  // namespace horalign
