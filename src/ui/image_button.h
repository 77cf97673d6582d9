#pragma once
// A push button drawn from a strip of four frames side by side (normal, hover, pressed,
// disabled), with a hand cursor and a tooltip.
#include "ui/framework/controls.h"
#include "ui/skin_image.h"

class CImageButton : public CButton {
 public:
  ~CImageButton() override;
  // Loads the frame strip and makes the button one frame in size.
  void LoadSkin(UINT id, const wchar_t* type);
  void SetToolTipText(const wchar_t* text);

 protected:
  void PreSubclassWindow() override { AddStyle(BS_OWNERDRAW); }
  void DrawItem(DRAWITEMSTRUCT* item) override;
  const MessageMap* GetMessageMap() const override;

 private:
  void OnMouseMove(UINT flags, POINT point);
  void OnLButtonDown(UINT flags, POINT point);
  void OnLButtonUp(UINT flags, POINT point);
  void OnMouseHover();
  void OnMouseLeave();
  void ShowToolTip(bool show);

  bool tracking_ = false;
  bool pressed_ = false;
  bool hover_ = false;
  SkinBitmap strip_;
  HWND toolTip_ = nullptr;
};
