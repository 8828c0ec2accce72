#pragma once

#include <string>
#include <vector>

#include "core/history/history_format.h"
#include "core/platform/log_folder.h"
#include "platform/win32/win32_api.h"

namespace horalign::winui {

// The history in a window of its own: one report-view list, newest entry first, every
// history file read at each opening. The list asks for its texts as it draws them, so ten
// thousand entries cost nothing until they are scrolled to.
class Win32HistoryList {
 public:
  Win32HistoryList();
  ~Win32HistoryList();
  Win32HistoryList(const Win32HistoryList&) = delete;
  Win32HistoryList& operator=(const Win32HistoryList&) = delete;

  // Reads the history and shows the window (creating it the first time) beside `owner`.
  void Show(HWND owner, LogFolder& folder);
  HWND Handle() const { return hwnd_; }
  HWND List() const { return list_; }
  // The caption, with how many entries were read and how many lines skipped.
  std::string Caption() const;

  // The text of a cell; columns as the header lists them.
  static std::string CellText(const HistoryEntry& entry, int column);

 private:
  static LRESULT CALLBACK WindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
  void Create(HWND owner);

  HWND hwnd_ = nullptr;
  HWND list_ = nullptr;
  HFONT font_ = nullptr;
  HistoryRead read_;
  std::string cell_;  // the text last handed to the list, kept until it asks again
};

}  // namespace horalign::winui
