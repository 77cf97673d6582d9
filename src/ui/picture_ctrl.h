#pragma once
// A static control that shows a picture from the program's resources, scaled to the control's
// size. It keeps the encoded bytes and decodes them at every paint.
#include <objidl.h>

#include "ui/framework/controls.h"
#include "ui/skin_image.h"

class CPictureCtrl : public CStatic {
 public:
  ~CPictureCtrl() override { FreeData(); }

  // Replaces the picture and redraws at once. False leaves the control without a picture (the
  // old one stays on screen until the next paint).
  bool LoadFromResource(HMODULE module, const wchar_t* name, const wchar_t* type);
  void FreeData();

 protected:
  // The control draws itself: owner-drawn.
  void PreSubclassWindow() override { AddStyle(SS_OWNERDRAW); }
  void DrawItem(DRAWITEMSTRUCT* item) override;

 private:
  GdiplusSession gdiplus_;
  IStream* stream_ = nullptr;
  bool loaded_ = false;
};
