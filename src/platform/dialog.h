#pragma once
// A small stand-in for a dialog framework: a dialog created from a template
// resource, run modally (or modeless, for tests), whose messages pass through
// one overridable window procedure and then one message map. The dialog is a
// Unicode window: its texts go through the wide calls (platform/wide.h).
#include <windows.h>

class Dialog {
 public:
  Dialog(int templateId, HWND parent) : templateId_(templateId), parent_(parent) {}
  virtual ~Dialog();
  Dialog(const Dialog&) = delete;
  Dialog& operator=(const Dialog&) = delete;

  // Runs the dialog modally; returns the result given to EndDialog, or -1
  // when the dialog could not be created.
  INT_PTR DoModal();
  // Creates the dialog modeless (tests drive it by messages). False on failure.
  bool Create();
  // Ends a modal run, or destroys a modeless dialog.
  void EndDialog(INT_PTR result);

  HWND hwnd() const { return hwnd_; }
  HWND Item(int id) const { return ::GetDlgItem(hwnd_, id); }

 protected:
  // Sees every message first. The default runs the message map. Returns true
  // when the message was handled; `result` is then the message's result.
  virtual bool WindowProc(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT& result);
  // The message map: routes a message to its handler. True when handled.
  virtual bool OnMessage(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT& result);

  virtual BOOL OnInitDialog() { return TRUE; }
  virtual void OnOK() { EndDialog(IDOK); }
  virtual void OnCancel() { EndDialog(IDCANCEL); }
  // The window-destruction step: runs while the window still exists.
  virtual void OnDestroyWindow() {}

 private:
  static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

  int templateId_;
  HWND parent_;
  HWND hwnd_ = nullptr;
  bool modal_ = false;
};
