#pragma once
// A modal dialog made from a dialog template resource. DoModal creates the window, whose
// initialisation binds the template's controls to their objects (DoDataExchange), then runs
// the modal loop with the dialog keyboard interface (Enter is IDOK, Escape and the system close
// command are IDCANCEL) until EndDialog or a quit message; a quit message is posted again, so
// that the application's own loop ends with it too.
#include "ui/framework/wnd.h"

class CDialog : public CWnd {
 public:
  CDialog(UINT templateId, HWND parent) : templateId_(templateId), parent_(parent) {}
  ~CDialog() override;

  // The value given to EndDialog, or -1 when the window could not be created or a quit
  // message ended the run.
  INT_PTR DoModal();
  void EndDialog(INT_PTR result);

 protected:
  virtual void DoDataExchange() {}
  // The window exists; binds the controls. True lets the system set the focus.
  virtual BOOL OnInitDialog();
  virtual void OnOK() { EndDialog(IDOK); }
  virtual void OnCancel() { EndDialog(IDCANCEL); }

  // For DoDataExchange: attaches the control object to the template's control with this id.
  void BindControl(UINT id, CWnd& control) { control.SubclassDlgItem(id, *this); }

  const MessageMap* GetMessageMap() const override;

 private:
  static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

  const UINT templateId_;
  const HWND parent_;
  bool ending_ = false;
  INT_PTR result_ = -1;
};
