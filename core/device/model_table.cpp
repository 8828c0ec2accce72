#include "core/device/model_table.h"

#include <array>

namespace horalign {
namespace {

struct ModelRow {
  char letter;
  std::string_view model;
};

// clang-format off
constexpr std::array<ModelRow, 20> kModels = {{
    {'A', "QM6840"}, {'B', "QM6850"}, {'E', "QM5101"}, {'F', "QM5120"},
    {'G', "QM5150"}, {'H', "QM4700"}, {'I', "QM4705"}, {'J', "KR9010"},
    {'K', "Tone Generator"}, {'M', "KR9020"}, {'N', "KR9021"}, {'O', "KR9340"},
    {'Q', "KR9025"}, {'R', "QM8370"}, {'S', "PA Speaker"}, {'T', "Tone Generator"},
    {'V', "Receiver (Ver. 2)"}, {'W', "QM8340"}, {'X', "QM8390"}, {'Z', "QM8391"},
}};
// clang-format on

constexpr std::array<std::string_view, 9> kUtcModels = {
    "KR9010", "KR9020", "KR9021", "KR9340", "KR9025", "QM8340", "QM8370", "QM8390", "QM8391"};

template <typename List>
bool Contains(const List& list, std::string_view model) {
  for (auto m : list) {
    if (m == model) return true;
  }
  return false;
}

}  // namespace

std::string_view ModelForLetter(char letter) {
  for (const auto& row : kModels) {
    if (row.letter == letter) return row.model;
  }
  return "";
}

Identification ParseIdentificationLine(std::string_view line) {
  Identification id;
  for (int pos = 5; pos >= 1; --pos) {
    if (static_cast<std::size_t>(pos) <= line.size()) id.serial += line[pos - 1];
  }
  const char letter = line.size() >= 6 ? line[5] : '\0';
  const auto model = letter ? ModelForLetter(letter) : std::string_view();
  if (!model.empty()) {
    id.model = std::string(model);
    if (letter == 'V') id.serial = "00000";
  } else if (line == "?\r") {
    id.model = kReceiverModel;
    id.serial = "00000";
  } else {
    id.model = kNoModel;
  }
  return id;
}

bool SupportsUtcTimeSet(std::string_view model) {
  return Contains(kUtcModels, model);
}

bool SupportsTimeQuery(std::string_view model) {
  return Contains(kUtcModels, model) || model == "Tone Generator" || model == "Receiver (Ver. 2)";
}

}  // namespace horalign
