#pragma once

#include <string>
#include <string_view>

#include "core/device/model_table.h"
#include "core/ui/port_list.h"

namespace horalign::fuzz {

// A model display name the program can show: one from the model table, or one of the
// two names it gives without a letter.
inline bool IsKnownModel(std::string_view model) {
  if (model.empty()) return false;
  if (model == "N/A" || model == "Receiver") return true;
  for (int c = 1; c < 256; ++c) {
    if (ModelForLetter(static_cast<char>(c)) == model) return true;
  }
  return false;
}

// "MM/DD/YY, HH:NN:SS AM" with the test locale's separators.
inline bool IsStatusTime(std::string_view text) {
  if (text.size() != 21) return false;
  constexpr std::string_view kShape = "00/00/00, 00:00:00 ";
  for (std::size_t i = 0; i < kShape.size(); ++i) {
    const bool digit = text[i] >= '0' && text[i] <= '9';
    if (kShape[i] == '0' ? !digit : text[i] != kShape[i]) return false;
  }
  return text.ends_with("AM") || text.ends_with("PM");
}

inline bool IsOneOf(std::string_view text, std::initializer_list<std::string_view> texts) {
  for (auto t : texts) {
    if (t == text) return true;
  }
  return false;
}

// Whether a cell of the port list holds a text the program writes there.
inline bool IsKnownCell(int row, int column, const std::string& text) {
  switch (column) {
    case kColPort:
      return text.size() == 2 && std::stoi(text) == row;
    case kColActive:
      return IsOneOf(text, {"Yes", "No", "N/A"});
    case kColStatus:
      return IsOneOf(
          text, {"Connecting to device...", "Connected to device.",
                 "Unable to connect to device - check settings.", "Disconnecting from device...",
                 "Disconnected from device.", "Writing date & time to device...",
                 "Device updated successfully.", "Error updating device.",
                 "Reading date & time from device...", "PC updated successfully.",
                 "Error reading device.", "Unable to set PC time - insufficient rights."});
    case kColStatusTime:
      return IsStatusTime(text);
    case kColSettings:
      return IsOneOf(text, {"9600,N,8,1", "38400,N,8,1", "1200,N,8,1"});
    case kColDevice:
      return IsKnownModel(text);
    case kColSerial:
      return text == "N/A" || text.size() <= 5;  // as the device sent it
    case kColDetected:
      return IsOneOf(text, {"Yes", "No"});
    default:
      return text.empty();
  }
}

}  // namespace horalign::fuzz
