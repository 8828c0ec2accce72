#include "sim/memory_log_folder.h"

#include <algorithm>

namespace horalign::sim {

bool MemoryLogFolder::Append(const std::string& name, std::string_view bytes, std::string& error) {
  ++appendCalls;
  if (full) {
    error = "No space left on device";
    return false;
  }
  files[name].append(bytes);
  return true;
}

std::optional<std::int64_t> MemoryLogFolder::Size(const std::string& name) {
  const auto it = files.find(name);
  if (it == files.end()) return std::nullopt;
  return static_cast<std::int64_t>(it->second.size());
}

bool MemoryLogFolder::Rename(const std::string& from, const std::string& to) {
  const auto it = files.find(from);
  if (!renames || it == files.end()) return false;
  std::string text = std::move(it->second);
  files.erase(it);
  files[to] = std::move(text);
  return true;
}

std::optional<std::string> MemoryLogFolder::Read(const std::string& name, std::int64_t lastBytes) {
  const auto it = files.find(name);
  if (it == files.end()) return std::nullopt;
  const std::string& text = it->second;
  const auto size = static_cast<std::int64_t>(text.size());
  return size > lastBytes ? text.substr(static_cast<std::size_t>(size - lastBytes)) : text;
}

bool MemoryLogFolder::ReadPieces(const std::string& name,
                                 const std::function<void(std::string_view piece)>& take) {
  const auto it = files.find(name);
  if (it == files.end()) return false;
  const std::string_view text = it->second;
  const std::size_t step = std::max<std::size_t>(pieceBytes, 1);
  for (std::size_t at = 0; at < text.size(); at += step) take(text.substr(at, step));
  return true;
}

}  // namespace horalign::sim
