#include "core/sync/history_note.h"

#include "core/util/civil.h"

namespace horalign {

HistoryEntry HistoryEntryNow(const SyncParts& parts, int port, HistoryAction action, bool ok,
                             const std::string& status) {
  HistoryEntry entry;
  entry.utcMs = ToEpochMicros(parts.clock.UtcNow()) / 1000;
  entry.port = port;
  const PortDevice device = parts.host.Port(port);
  entry.model = device.model;
  entry.serial = device.serial;
  entry.action = action;
  entry.ok = ok;
  entry.status = status;
  return entry;
}

}  // namespace horalign
