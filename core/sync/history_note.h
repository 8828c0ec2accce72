#pragma once

#include <string>

#include "core/history/history_entry.h"
#include "core/sync/sync_host.h"

namespace horalign {

// An entry for an operation on a port that ends now, with the device its row shows.
HistoryEntry HistoryEntryNow(const SyncParts& parts, int port, HistoryAction action, bool ok,
                             const std::string& status);

// Hands the entry to the history, when the program keeps one.
inline void NoteHistory(const SyncParts& parts, const HistoryEntry& entry) {
  if (parts.history != nullptr) parts.history->Append(entry);
}

}  // namespace horalign
