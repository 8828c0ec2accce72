#include "service/headless_views.h"

#include "core/ui/port_list.h"

namespace horalign {

std::string LogValue(const std::string& text) {
  bool plain = !text.empty();
  for (char c : text) {
    plain = plain && c > ' ' && c != '"' && c != '\\' && c != '=' && c != 0x7f;
  }
  if (plain) return text;
  std::string quoted = "\"";
  for (char c : text) {
    switch (c) {
      case '"':
        quoted += "\\\"";
        break;
      case '\\':
        quoted += "\\\\";
        break;
      case '\r':
        quoted += "\\r";
        break;
      case '\n':
        quoted += "\\n";
        break;
      default:
        quoted += c;
        break;
    }
  }
  return quoted + '"';
}

void LogLine(std::FILE* log, const std::string& line) {
  const std::string text = line + '\n';
  std::fwrite(text.data(), 1, text.size(), log);
  std::fflush(log);
}

const std::string& LogMainWindow::Cell(int row, int column) const {
  static const std::string kEmpty;
  if (row < 1 || row > static_cast<int>(rows_.size()) || column < 0 || column >= 10) return kEmpty;
  return rows_[static_cast<std::size_t>(row - 1)][static_cast<std::size_t>(column)];
}

void LogMainWindow::FlushRow() {
  const int row = pendingRow_;
  pendingRow_ = 0;
  if (row == 0 || !logRows) return;
  const std::string line =
      "port=COM" + std::to_string(row) + " active=" + LogValue(Cell(row, kColActive)) +
      " device=" + LogValue(Cell(row, kColDevice)) + " sn=" + LogValue(Cell(row, kColSerial)) +
      " status=" + LogValue(Cell(row, kColStatus)) + " time=" + LogValue(Cell(row, kColStatusTime));
  if (onRow) {
    onRow(row, line);
  } else {
    LogLine(log_, line);
  }
}

void LogMainWindow::AddListColumn(const std::string&, int) {
  FlushRow();
}

void LogMainWindow::SetRowCount(int rows) {
  FlushRow();
  rows_.resize(static_cast<std::size_t>(rows < 0 ? 0 : rows));
}

void LogMainWindow::SetCell(int row, int column, const std::string& text) {
  // The cells a reset writes after the stamp belong to the stamped change.
  if (row != pendingRow_ || column == kColStatus || column == kColPort) FlushRow();
  if (row < 1 || row > static_cast<int>(rows_.size()) || column < 0 || column >= 10) return;
  rows_[static_cast<std::size_t>(row - 1)][static_cast<std::size_t>(column)] = text;
  if (column == kColStatusTime) pendingRow_ = row;
}

void LogMainWindow::SetRowColour(int row, Rgb) {
  // The colour is the last thing a connection or a reset sets.
  if (row == pendingRow_) FlushRow();
}

void LogMainWindow::SetControlEnabled(Control control, bool enabled) {
  FlushRow();
  enabledControls_[control] = enabled;
}

bool LogMainWindow::ControlEnabled(Control control) const {
  const auto it = enabledControls_.find(control);
  return it == enabledControls_.end() || it->second;
}

void LogMainWindow::AddModeEntry(const std::string& text, int itemData) {
  modes_.emplace_back(text, itemData);
}

int LogMainWindow::ModeItemData(int index) const {
  return index >= 0 && index < ModeEntryCount() ? modes_[static_cast<std::size_t>(index)].second
                                                : 0;
}

void LogMainWindow::SetWindowEnabled(bool enabled) {
  FlushRow();
  enabled_ = enabled;
}

void LogMainWindow::Quit() {
  FlushRow();
  if (onQuit) onQuit();
}

void LogMessageDialog::ShowModal(const MessageLayout& layout, MessageController& controller) {
  int answer = layout.focusCode != 0 ? layout.focusCode : layout.escapeCode;
  for (const MessageButton& b : layout.buttons) {
    if (answer == 0 && b.visible) answer = b.code;
  }
  std::string caption;
  for (const MessageButton& b : layout.buttons) {
    if (b.code != answer) continue;
    for (char c : b.caption) {
      if (c != '&') caption += c;
    }
  }
  const std::string line = "message=" + LogValue(layout.text) + " answer=" + LogValue(caption);
  if (onLine) {
    onLine(line);
  } else {
    LogLine(log_, line);
  }
  controller.OnButton(answer);
}

}  // namespace horalign
