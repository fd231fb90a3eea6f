#include "platform/dialog.h"

Dialog::~Dialog() {
  if (hwnd_ && !modal_) ::DestroyWindow(hwnd_);
}

INT_PTR Dialog::DoModal() {
  modal_ = true;
  const INT_PTR result = ::DialogBoxParamW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(templateId_),
                                           parent_, &Dialog::DialogProc,
                                           reinterpret_cast<LPARAM>(this));
  hwnd_ = nullptr;
  return result;
}

bool Dialog::Create() {
  modal_ = false;
  return ::CreateDialogParamW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(templateId_), parent_,
                              &Dialog::DialogProc, reinterpret_cast<LPARAM>(this)) != nullptr;
}

void Dialog::EndDialog(INT_PTR result) {
  if (!hwnd_) return;
  if (modal_) {
    ::EndDialog(hwnd_, result);
  } else {
    ::DestroyWindow(hwnd_);
  }
}

bool Dialog::WindowProc(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT& result) {
  return OnMessage(msg, wParam, lParam, result);
}

bool Dialog::OnMessage(UINT msg, WPARAM wParam, LPARAM, LRESULT& result) {
  if (msg == WM_COMMAND && HIWORD(wParam) == BN_CLICKED) {
    if (LOWORD(wParam) == IDOK) {
      OnOK();
      result = 0;
      return true;
    }
    if (LOWORD(wParam) == IDCANCEL) {
      OnCancel();
      result = 0;
      return true;
    }
  }
  return false;
}

INT_PTR CALLBACK Dialog::DialogProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  Dialog* self = nullptr;
  if (msg == WM_INITDIALOG) {
    self = reinterpret_cast<Dialog*>(lParam);
    self->hwnd_ = hwnd;
    ::SetWindowLongPtrW(hwnd, DWLP_USER, reinterpret_cast<LONG_PTR>(self));
    return self->OnInitDialog();
  }
  self = reinterpret_cast<Dialog*>(::GetWindowLongPtrW(hwnd, DWLP_USER));
  if (!self) return FALSE;

  if (msg == WM_DESTROY) {
    self->OnDestroyWindow();
    ::SetWindowLongPtrW(hwnd, DWLP_USER, 0);
    self->hwnd_ = nullptr;
    return FALSE;
  }
  LRESULT result = 0;
  if (!self->WindowProc(msg, wParam, lParam, result)) return FALSE;
  // Messages that answer with a value of their own return it directly;
  // every other handled message leaves its result in DWLP_MSGRESULT.
  switch (msg) {
    case WM_CTLCOLORMSGBOX: case WM_CTLCOLOREDIT: case WM_CTLCOLORLISTBOX:
    case WM_CTLCOLORBTN: case WM_CTLCOLORDLG: case WM_CTLCOLORSCROLLBAR:
    case WM_CTLCOLORSTATIC: case WM_COMPAREITEM: case WM_VKEYTOITEM:
    case WM_CHARTOITEM: case WM_QUERYDRAGICON: case WM_INITDIALOG:
      return static_cast<INT_PTR>(result);
    default:
      ::SetWindowLongPtrW(hwnd, DWLP_MSGRESULT, result);
      return TRUE;
  }
}
