#pragma once
// Pictures embedded in the program: the image decoding service, the bytes of a resource, and
// the skin bitmaps that the skinned controls copy to the screen piece by piece.
#include <windows.h>

#include <cstddef>
#include <cstdint>

// Keeps the image decoding service (GDI+) running while at least one session exists.
class GdiplusSession {
 public:
  GdiplusSession();
  ~GdiplusSession();
  GdiplusSession(const GdiplusSession&) = delete;
  GdiplusSession& operator=(const GdiplusSession&) = delete;
  bool Running() const { return running_; }

 private:
  bool running_;
};

struct ResourceBytes {
  const std::uint8_t* data = nullptr;
  std::size_t size = 0;
};
// The bytes of a resource of the module; empty when it is missing.
ResourceBytes FindResourceBytes(HMODULE module, const wchar_t* name, const wchar_t* type);

// A device-independent bitmap in memory, ready to be copied from. It may be empty.
class SkinBitmap {
 public:
  SkinBitmap() = default;
  ~SkinBitmap() { Release(); }
  SkinBitmap(SkinBitmap&& other) noexcept { *this = static_cast<SkinBitmap&&>(other); }
  SkinBitmap& operator=(SkinBitmap&& other) noexcept;

  bool IsEmpty() const { return bitmap_ == nullptr; }
  int Width() const { return width_; }
  int Height() const { return height_; }
  // A plain copy of the rectangle (sourceX, sourceY, width, height) to dc at (x, y).
  void Copy(HDC dc, int x, int y, int width, int height, int sourceX, int sourceY) const;
  // The rectangle (sourceX, 0, sourceWidth, the bitmap's height) drawn over the whole target:
  // copied when the sizes agree, smoothly scaled when they do not (a control grown with the DPI).
  void DrawScaled(HDC dc, const RECT& target, int sourceX, int sourceWidth) const;

  // Takes over a DIB section of the given size.
  void Adopt(HBITMAP bitmap, int width, int height);

 private:
  void Release();

  HBITMAP bitmap_ = nullptr;
  HDC memoryDc_ = nullptr;
  HGDIOBJ previous_ = nullptr;
  int width_ = 0;
  int height_ = 0;
};

// Decodes the picture (PNG, JPEG, ...) held by resource id of the given type in the program's
// module. Without a type, the resource is a Windows bitmap. Empty when missing or undecodable.
SkinBitmap LoadSkinImage(UINT id, const wchar_t* type);
