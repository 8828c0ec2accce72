// The identification line: serial and model from any bytes, and the model predicates.
#include <string>
#include <string_view>

#include "core/device/model_table.h"
#include "fuzz/fuzz_check.h"

using namespace horalign;
using fuzz::IsKnownModel;

FUZZ_TARGET(in) {
  const std::string line = in.ConsumeRemainingBytesAsString();
  const Identification id = ParseIdentificationLine(line);

  FUZZ_CHECK(IsKnownModel(id.model));
  // The first five characters, last first (a shorter line gives what it has); receivers
  // have none.
  const bool receiver = id.model == "Receiver" || id.model == "Receiver (Ver. 2)";
  const std::string head = line.substr(0, 5);
  FUZZ_CHECK(id.serial == (receiver ? "00000" : std::string(head.rbegin(), head.rend())));
  // The model of the letter at position 6; without one, "N/A", or "Receiver" for "?" CR.
  const std::string_view byLetter = line.size() >= 6 ? ModelForLetter(line[5]) : "";
  FUZZ_CHECK(byLetter.empty() ? id.model == "N/A" || (id.model == "Receiver" && line == "?\r")
                              : id.model == byLetter);

  // Every model set with the UTC command can also be asked for its time, and no
  // predicate is true for a text outside the table.
  for (std::string_view text : {std::string_view(id.model), std::string_view(line)}) {
    const bool query = SupportsTimeQuery(text);
    FUZZ_CHECK(!SupportsUtcTimeSet(text) || query);
    FUZZ_CHECK(!query || IsKnownModel(text));
  }
}
