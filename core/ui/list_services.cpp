#include "core/ui/list_services.h"

#include <cassert>
#include <cstddef>

namespace horalign {

void AddListColumns(ReportListView& list, std::span<const double> weights,
                    std::span<const char* const> titles) {
  assert(titles.size() == weights.size());
  double total = 0;
  for (double w : weights) total += w;
  const int width = list.ListWidthTwips();
  for (std::size_t i = 0; i < weights.size(); ++i) {
    list.AddListColumn(titles[i], static_cast<int>((width - 100) * weights[i] / total));
  }
}

}  // namespace horalign
