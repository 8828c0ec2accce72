#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "core/device/model_table.h"

// A property every input must keep. A broken one aborts, so libFuzzer keeps the input
// as a crash and prints the expression that failed.
#define FUZZ_CHECK(condition)                                                               \
  do {                                                                                      \
    if (!(condition)) {                                                                     \
      std::fprintf(stderr, "%s:%d: property broken: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                         \
    }                                                                                       \
  } while (false)

// A target whose input is read through the FuzzedDataProvider `in`:
//   FUZZ_TARGET(in) { const bool flag = in.ConsumeBool(); ... }
#define FUZZ_TARGET(in)                                                               \
  static void FuzzOne(FuzzedDataProvider& in);                                        \
  extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) { \
    FuzzedDataProvider provider(data, size);                                          \
    FuzzOne(provider);                                                                \
    return 0;                                                                         \
  }                                                                                   \
  static void FuzzOne(FuzzedDataProvider& in)

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

}  // namespace horalign::fuzz
