#include "core/device/model_table.h"

#include <array>

#include "core/device/device_text.h"

namespace horalign {
namespace {

struct ModelRow {
  char letter;
  std::string_view model;
  ModelKind kind;
};

constexpr auto kLocal = ModelKind::kLocalClock;
constexpr auto kReadable = ModelKind::kLocalReadable;
constexpr auto kUtc = ModelKind::kUtcClock;

// clang-format off
constexpr std::array<ModelRow, 20> kModels = {{
    {'A', "QM6840", kLocal},   {'B', "QM6850", kLocal},   {'E', "QM5101", kLocal},
    {'F', "QM5120", kLocal},   {'G', "QM5150", kLocal},   {'H', "QM4700", kLocal},
    {'I', "QM4705", kLocal},   {'J', "KR9010", kUtc},     {'K', "Tone Generator", kReadable},
    {'M', "KR9020", kUtc},     {'N', "KR9021", kUtc},     {'O', "KR9340", kUtc},
    {'Q', "KR9025", kUtc},     {'R', "QM8370", kUtc},     {'S', "PA Speaker", kLocal},
    {'T', "Tone Generator", kReadable},                   {'V', "Receiver (Ver. 2)", kReadable},
    {'W', "QM8340", kUtc},     {'X', "QM8390", kUtc},     {'Z', "QM8391", kUtc},
}};
// clang-format on

const ModelRow* RowForLetter(char letter) {
  for (const auto& row : kModels) {
    if (row.letter == letter) return &row;
  }
  return nullptr;
}

}  // namespace

std::string_view ModelForLetter(char letter) {
  const ModelRow* row = RowForLetter(letter);
  return row ? row->model : "";
}

ModelKind KindOfModel(std::string_view model) {
  if (model == kReceiverModel) return ModelKind::kReceiver;
  for (const auto& row : kModels) {
    if (row.model == model) return row.kind;
  }
  return ModelKind::kUnknown;
}

Identification ParseIdentificationLine(std::string_view line) {
  Identification id;
  std::string serial;
  for (int pos = 5; pos >= 1; --pos) {
    if (static_cast<std::size_t>(pos) <= line.size()) serial += line[pos - 1];
  }
  // The device's bytes become a row's text here, and everything after shows them as is.
  id.serial = CleanDeviceText(serial);
  const char letter = line.size() >= 6 ? line[5] : '\0';
  const ModelRow* row = letter ? RowForLetter(letter) : nullptr;
  if (row) {
    id.model = std::string(row->model);
    id.kind = row->kind;
    if (letter == 'V') id.serial = "00000";
  } else if (line == "?\r") {
    id.model = kReceiverModel;
    id.kind = ModelKind::kReceiver;
    id.serial = "00000";
  } else {
    id.model = kNoModel;
  }
  return id;
}

}  // namespace horalign
