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

// What the program may do with a device, known once it is identified; decisions read this,
// never the model's name.
enum class ModelKind {
  kUnknown,        // named no model it is known by ("N/A"): perhaps a receiver
  kReceiver,       // sends time events of its own
  kLocalClock,     // set with the local PT and PD commands
  kLocalReadable,  // set with PT and PD; answers the QT query
  kUtcClock,       // set with the UTC time command; answers the QT query
};

struct Identification {
  std::string model;   // DeviceModel
  std::string serial;  // DeviceSerial
  ModelKind kind = ModelKind::kUnknown;
};

// Reads an identification line (not empty, not beginning with "?99"): the serial number is
// positions 5..1, cleaned (CleanDeviceText), the model comes from the letter at position 6.
// "?" CR is a receiver without a letter; the V model and receivers report "00000".
Identification ParseIdentificationLine(std::string_view line);

// The kind of a device by the model name a row shows (as ParseIdentificationLine names it).
ModelKind KindOfModel(std::string_view model);

// Devices set with the UTC time command (the others take the local PT and PD commands).
inline bool SupportsUtcTimeSet(ModelKind kind) {
  return kind == ModelKind::kUtcClock;
}

// Devices whose time can be read with the QT query.
inline bool SupportsTimeQuery(ModelKind kind) {
  return kind == ModelKind::kUtcClock || kind == ModelKind::kLocalReadable;
}

}  // namespace horalign
