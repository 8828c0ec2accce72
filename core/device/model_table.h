#pragma once

#include <string>
#include <string_view>

namespace horalign {

// The model display name for the letter at position 6 of an identification line, or ""
// when the letter is not in the table. Letters are compared case-sensitively.
std::string_view ModelForLetter(char letter);

// The model of a device that named none it is known by, and of a receiver.
inline constexpr char kNoModel[] = "N/A";
inline constexpr char kReceiverModel[] = "Receiver";

struct Identification {
  std::string model;   // DeviceModel
  std::string serial;  // DeviceSerial
};

// Reads an identification line (not empty, not beginning with "?99"): the serial number is
// positions 5..1, the model comes from the letter at position 6. "?" CR is a receiver
// without a letter; the V model and receivers report "00000".
Identification ParseIdentificationLine(std::string_view line);

// Models set with the UTC time command (the others take the local PT and PD commands).
bool SupportsUtcTimeSet(std::string_view model);

// Models whose time can be read with the QT query.
bool SupportsTimeQuery(std::string_view model);

}  // namespace horalign
