#include "ui/skin_image.h"

#include <cstring>
#include <mutex>

#include "ui/gdiplus.h"

namespace {

std::mutex gdiplusLock;
int gdiplusUsers = 0;
ULONG_PTR gdiplusToken = 0;

// An in-memory stream over a copy of the bytes; released by its owner.
IStream* StreamOverCopy(const ResourceBytes& bytes) {
  HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, bytes.size);
  if (block == nullptr) return nullptr;
  void* target = GlobalLock(block);
  if (target == nullptr) {
    GlobalFree(block);
    return nullptr;
  }
  std::memcpy(target, bytes.data, bytes.size);
  GlobalUnlock(block);
  IStream* stream = nullptr;
  if (CreateStreamOnHGlobal(block, TRUE, &stream) != S_OK) {
    GlobalFree(block);
    return nullptr;
  }
  return stream;
}

HBITMAP CreateTopDownDib(int width, int height, void** bits) {
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof(info.bmiHeader);
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = -height;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  return CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, bits, nullptr, 0);
}

SkinBitmap Decode(IStream* stream) {
  SkinBitmap skin;
  Gdiplus::Bitmap decoded(stream);
  if (decoded.GetLastStatus() != Gdiplus::Ok) return skin;
  const int width = static_cast<int>(decoded.GetWidth());
  const int height = static_cast<int>(decoded.GetHeight());
  Gdiplus::Rect area(0, 0, width, height);
  Gdiplus::BitmapData pixels;
  if (width <= 0 || height <= 0 ||
      decoded.LockBits(&area, Gdiplus::ImageLockModeRead, PixelFormat32bppARGB, &pixels) != Gdiplus::Ok) {
    return skin;
  }
  void* bits = nullptr;
  HBITMAP bitmap = CreateTopDownDib(width, height, &bits);
  if (bitmap != nullptr) {
    for (int row = 0; row < height; ++row) {
      std::memcpy(static_cast<std::uint8_t*>(bits) + static_cast<std::size_t>(row) * width * 4,
                  static_cast<const std::uint8_t*>(pixels.Scan0) + static_cast<std::ptrdiff_t>(row) * pixels.Stride,
                  static_cast<std::size_t>(width) * 4);
    }
    skin.Adopt(bitmap, width, height);
  }
  decoded.UnlockBits(&pixels);
  return skin;
}

}  // namespace

GdiplusSession::GdiplusSession() {
  std::lock_guard<std::mutex> guard(gdiplusLock);
  if (gdiplusUsers == 0) {
    Gdiplus::GdiplusStartupInput input;
    if (Gdiplus::GdiplusStartup(&gdiplusToken, &input, nullptr) != Gdiplus::Ok) {
      running_ = false;
      return;
    }
  }
  ++gdiplusUsers;
  running_ = true;
}

GdiplusSession::~GdiplusSession() {
  if (!running_) return;
  std::lock_guard<std::mutex> guard(gdiplusLock);
  if (--gdiplusUsers == 0) Gdiplus::GdiplusShutdown(gdiplusToken);
}

ResourceBytes FindResourceBytes(HMODULE module, const wchar_t* name, const wchar_t* type) {
  HRSRC found = FindResourceW(module, name, type);
  if (found == nullptr) return {};
  const DWORD size = SizeofResource(module, found);
  HGLOBAL loaded = LoadResource(module, found);
  const void* data = loaded != nullptr ? LockResource(loaded) : nullptr;
  if (data == nullptr || size == 0) return {};
  return {static_cast<const std::uint8_t*>(data), size};
}

SkinBitmap& SkinBitmap::operator=(SkinBitmap&& other) noexcept {
  if (this == &other) return *this;
  Release();
  bitmap_ = other.bitmap_, memoryDc_ = other.memoryDc_, previous_ = other.previous_;
  width_ = other.width_, height_ = other.height_;
  other.bitmap_ = nullptr, other.memoryDc_ = nullptr, other.previous_ = nullptr;
  other.width_ = other.height_ = 0;
  return *this;
}

void SkinBitmap::Adopt(HBITMAP bitmap, int width, int height) {
  Release();
  memoryDc_ = CreateCompatibleDC(nullptr);
  if (memoryDc_ == nullptr) {
    DeleteObject(bitmap);
    return;
  }
  bitmap_ = bitmap;
  previous_ = SelectObject(memoryDc_, bitmap_);
  width_ = width, height_ = height;
}

void SkinBitmap::Release() {
  if (memoryDc_ != nullptr) {
    SelectObject(memoryDc_, previous_);
    DeleteDC(memoryDc_);
  }
  if (bitmap_ != nullptr) DeleteObject(bitmap_);
  bitmap_ = nullptr, memoryDc_ = nullptr, previous_ = nullptr;
  width_ = height_ = 0;
}

void SkinBitmap::Copy(HDC dc, int x, int y, int width, int height, int sourceX, int sourceY) const {
  if (bitmap_ == nullptr || width <= 0 || height <= 0) return;
  BitBlt(dc, x, y, width, height, memoryDc_, sourceX, sourceY, SRCCOPY);
}

void SkinBitmap::DrawScaled(HDC dc, const RECT& target, int sourceX, int sourceWidth) const {
  const int width = target.right - target.left, height = target.bottom - target.top;
  if (width == sourceWidth && height == height_) {
    Copy(dc, target.left, target.top, width, height, sourceX, 0);
    return;
  }
  if (bitmap_ == nullptr || width <= 0 || height <= 0) return;
  const int previousMode = SetStretchBltMode(dc, HALFTONE);
  SetBrushOrgEx(dc, 0, 0, nullptr);
  StretchBlt(dc, target.left, target.top, width, height, memoryDc_, sourceX, 0, sourceWidth, height_, SRCCOPY);
  SetStretchBltMode(dc, previousMode);
}

SkinBitmap LoadSkinImage(UINT id, const wchar_t* type) {
  HMODULE module = GetModuleHandleW(nullptr);
  if (type == nullptr) {
    SkinBitmap skin;
    auto* bitmap = static_cast<HBITMAP>(
        LoadImageW(module, MAKEINTRESOURCEW(id), IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));
    BITMAP facts;
    if (bitmap != nullptr && GetObjectW(bitmap, sizeof(facts), &facts) != 0) {
      skin.Adopt(bitmap, facts.bmWidth, facts.bmHeight);
    }
    return skin;
  }
  const ResourceBytes bytes = FindResourceBytes(module, MAKEINTRESOURCEW(id), type);
  if (bytes.data == nullptr) return {};
  GdiplusSession session;
  if (!session.Running()) return {};
  IStream* stream = StreamOverCopy(bytes);
  if (stream == nullptr) return {};
  SkinBitmap skin = Decode(stream);
  stream->Release();
  return skin;
}
