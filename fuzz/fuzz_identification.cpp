// The identification line: serial and model from any bytes, and the model predicates.
#include <cstdint>
#include <string>
#include <string_view>

#include "core/device/model_table.h"
#include "fuzz/fuzz_check.h"
#include "fuzz/known_texts.h"

using namespace horalign;
using fuzz::IsKnownModel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string line(reinterpret_cast<const char*>(data), size);
  const Identification id = ParseIdentificationLine(line);

  FUZZ_CHECK(IsKnownModel(id.model));
  if (id.model == "Receiver" || id.model == "Receiver (Ver. 2)") {
    FUZZ_CHECK(id.serial == "00000");
  } else {
    // The first five characters, last first; a shorter line gives what it has.
    const std::string head = line.substr(0, 5);
    FUZZ_CHECK(id.serial == std::string(head.rbegin(), head.rend()));
  }
  if (line.size() >= 6 && !ModelForLetter(line[5]).empty()) {
    FUZZ_CHECK(id.model == ModelForLetter(line[5]));
  } else if (id.model != "Receiver") {
    FUZZ_CHECK(id.model == "N/A");
  } else {
    FUZZ_CHECK(line == "?\r");
  }

  // Every model set with the UTC command can also be asked for its time, and no
  // predicate is true for a text outside the table.
  for (std::string_view text : {std::string_view(id.model), std::string_view(line)}) {
    const bool utc = SupportsUtcTimeSet(text);
    const bool query = SupportsTimeQuery(text);
    FUZZ_CHECK(!utc || query);
    FUZZ_CHECK(!query || IsKnownModel(text));
  }
  return 0;
}
