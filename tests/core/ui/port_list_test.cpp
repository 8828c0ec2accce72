#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "core/ui/port_list.h"
#include "sim/fake_views.h"

namespace horalign::test {
namespace {

// Each row answers for its own device only: a row beside one never filled, one that
// answered and one that did not keeps its own state, and rows that do not exist read empty.
TEST(PortList, EachRowKeepsItsOwnDeviceState) {
  sim::FakeMainWindow view;
  PortListModel ports(view);
  for (int port : {3, 4, 5, 6}) ports.AddRow(port);
  PortDevice silent;  // no device answered on the port
  PortDevice found;
  found.detected = true;
  found.model = "QM8340";
  found.serial = "0042";
  ports.SetDevice(2, silent);  // row 1 stays unfilled
  ports.SetDevice(3, found);
  ports.SetDevice(4, silent);
  // Each row: whether it counts as undetected, and its device's detected flag and model.
  for (const auto& [row, undetected, detected, model] : {std::tuple(0, false, true, ""),
                                                         {1, false, true, ""},
                                                         {2, true, false, ""},
                                                         {3, false, true, "QM8340"},
                                                         {4, true, false, ""},
                                                         {5, false, true, ""}}) {
    const PortDevice d = ports.Device(row);
    EXPECT_EQ(std::tuple(ports.Undetected(row), d.detected, d.model),
              std::tuple(undetected, detected, std::string(model)))
        << "row " << row;
  }
  EXPECT_EQ(std::tuple(ports.Port(4), ports.Port(5), view.rows.size()), std::tuple(6, 0, 4u));
}

}  // namespace
}  // namespace horalign::test
