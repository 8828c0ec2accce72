#include "sim/fake_views.h"

namespace horalign::sim {

const std::string& FakeMainWindow::CellText(int row, int column) const {
  static const std::string kEmpty;
  if (row < 1 || row > static_cast<int>(rows.size()) || column < 0 || column >= 10) return kEmpty;
  return rows[row - 1][column];
}

void FakeMainWindow::AddListColumn(const std::string& title, int widthTwips) {
  columns.push_back({title, widthTwips});
}

void FakeMainWindow::SetListColumnWidth(int column, int widthTwips) {
  if (column >= 0 && column < static_cast<int>(columns.size()))
    columns[column].widthTwips = widthTwips;
}

void FakeMainWindow::SetRowCount(int count) {
  rows.resize(count, std::vector<std::string>(10));
  colours.resize(count);
  if (selectedRow > count) selectedRow = 0;
}

void FakeMainWindow::SetCell(int row, int column, const std::string& text) {
  if (row >= 1 && row <= static_cast<int>(rows.size()) && column >= 0 && column < 10) {
    rows[row - 1][column] = text;
  }
  if (onCell) onCell(row, column, text);
}

void FakeMainWindow::SetWindowEnabled(bool on) {
  enabled = on;
  if (onWindowEnabled) onWindowEnabled(on);
}

void FakeMainWindow::SetRowColour(int row, Rgb colour) {
  if (row >= 1 && row <= static_cast<int>(colours.size())) colours[row - 1] = colour;
}

bool FakeMainWindow::ControlEnabled(Control control) const {
  auto it = controlEnabled.find(control);
  return it == controlEnabled.end() ? true : it->second;
}

bool FakeMainWindow::ControlVisible(Control control) const {
  auto it = controlVisible.find(control);
  return it == controlVisible.end() ? true : it->second;
}

void FakeMainWindow::AddModeEntry(const std::string& text, int itemData) {
  modeEntries.emplace_back(text, itemData);
}

int FakeMainWindow::ModeItemData(int index) const {
  return index >= 0 && index < ModeEntryCount() ? modeEntries[index].second : 0;
}

void FakeMainWindow::PopupTrayMenu(const TrayMenuState& state) {
  trayMenus.push_back(state);
}

void FakeMainWindow::Quit() {
  ++quitCount;
  if (onQuit) onQuit();
}

void FakeLoading::Show(const std::string& c, const std::string& t, int w, int h) {
  visible = true;
  caption = c, text = t, width = w, height = h;
  ++showCount;
}

void FakeMessageDialog::Answer(int code) {
  Respond([code](const MessageLayout&, MessageController& c) { c.OnButton(code); });
}

void FakeMessageDialog::PressKey(int key) {
  Respond([key](const MessageLayout&, MessageController& c) { c.OnKey(key); });
}

void FakeMessageDialog::Wait() {
  Respond([](const MessageLayout&, MessageController&) {});
}

void FakeMessageDialog::ShowModal(const MessageLayout& layout, MessageController& controller) {
  shown.push_back({layout});
  open_ = true;
  if (script_.empty()) {
    const int code = layout.focusCode ? layout.focusCode : layout.buttons.front().code;
    for (const auto& b : layout.buttons) {
      if (b.visible && (b.code == code || !layout.focusCode)) {
        controller.OnButton(b.code);
        break;
      }
    }
  } else {
    auto response = std::move(script_.front());
    script_.pop_front();
    response(layout, controller);
  }
  // A modal dialog keeps the event loop turning until it is closed.
  for (int i = 0; open_ && i < maxWaitYields; ++i) loop_.Yield();
  open_ = false;
}

}  // namespace horalign::sim
