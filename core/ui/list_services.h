#pragma once

#include <span>

#include "core/ui/views.h"

namespace horalign {

// QV_ListServices: the columns of a list in report view, sized by relative weights.

// Adds one column per weight at the end of the list, headed by the title of the same index,
// (list width - 100) x weight / sum of the weights twips wide. A weight of 0 gives a column
// the user does not see.
void AddListColumns(ReportListView& list, std::span<const double> weights,
                    std::span<const char* const> titles);

}  // namespace horalign
