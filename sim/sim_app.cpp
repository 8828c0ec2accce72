#include "sim/sim_app.h"

namespace horalign::sim {

SimApp::SimApp(const WorldOptions& options, ServiceLink* link, bool withFeed)
    : world(options), service(link), feedGiven(withFeed ? &feed : nullptr) {
  // No scan may reach a port the test did not set up: all sixteen exist, empty.
  world.AddEmptyPorts(1, 16);
}

void SimApp::Set(const std::string& name, const std::string& text) {
  registry.SetString(kConfigKey, name, text);
}

std::optional<std::string> SimApp::Stored(const std::string& name) {
  if (!registry.Query(kConfigKey, name)) return std::nullopt;
  return QueryRegValue(registry, kConfigKey, name);
}

}  // namespace horalign::sim
