#include "ui/framework/dialog.h"

CDialog::~CDialog() {
  if (hwnd_ != nullptr) DestroyWindow(hwnd_);
}

const MessageMap* CDialog::GetMessageMap() const {
  static const MessageEntry entries[] = {
      MapCommand<&CDialog::OnOK>(IDOK),
      MapCommand<&CDialog::OnCancel>(IDCANCEL),
      END_OF_MAP,
  };
  static const MessageMap map{CWnd::GetMessageMap(), entries};
  return &map;
}

INT_PTR CALLBACK CDialog::DialogProc(HWND hwnd, UINT message, WPARAM, LPARAM lParam) {
  // Everything after the initialisation reaches the object through the framework's window
  // procedure, which hands unhandled messages to the system dialog procedure and so back here:
  // FALSE asks for the system's default handling.
  if (message != WM_INITDIALOG) return FALSE;
  auto* dialog = reinterpret_cast<CDialog*>(lParam);
  if (!dialog->Attach(hwnd)) return FALSE;
  return dialog->OnInitDialog();
}

BOOL CDialog::OnInitDialog() {
  DoDataExchange();
  return TRUE;
}

INT_PTR CDialog::DoModal() {
  HINSTANCE module = GetModuleHandleW(nullptr);
  HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(templateId_), MAKEINTRESOURCEW(5));  // RT_DIALOG
  HGLOBAL loaded = found != nullptr ? LoadResource(module, found) : nullptr;
  auto* dialogTemplate = static_cast<const DLGTEMPLATE*>(loaded != nullptr ? LockResource(loaded) : nullptr);
  if (dialogTemplate == nullptr) return -1;
  ending_ = false;
  result_ = -1;
  HWND hwnd = CreateDialogIndirectParamW(module, dialogTemplate, parent_, &CDialog::DialogProc,
                                         reinterpret_cast<LPARAM>(this));
  if (hwnd == nullptr) return -1;
  ShowWindow(hwnd, SW_SHOWNORMAL);
  UpdateWindow(hwnd);

  MSG msg;
  while (!ending_) {
    const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
    if (got == 0) {
      PostQuitMessage(static_cast<int>(msg.wParam));
      break;
    }
    if (got < 0) break;
    if (!IsDialogMessageW(hwnd, &msg)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
  }
  DestroyWindow(hwnd);
  return result_;
}

void CDialog::EndDialog(INT_PTR result) {
  result_ = result;
  ending_ = true;
  PostMessageW(hwnd_, WM_NULL, 0, 0);  // wakes the modal loop
}
