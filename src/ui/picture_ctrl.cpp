#include "ui/picture_ctrl.h"

#include "ui/gdiplus.h"

bool CPictureCtrl::LoadFromResource(HMODULE module, const wchar_t* name, const wchar_t* type) {
  SetLastError(0);
  FreeData();
  const ResourceBytes bytes = FindResourceBytes(module, name, type);
  if (bytes.data == nullptr) return false;
  IStream* stream = nullptr;
  HRESULT status = CreateStreamOnHGlobal(nullptr, TRUE, &stream);
  if (status == S_OK) {
    ULONG written = 0;
    status = stream->Write(bytes.data, static_cast<ULONG>(bytes.size), &written);
    if (status == S_OK && written != bytes.size) status = STG_E_MEDIUMFULL;
  }
  if (status != S_OK) {
    if (stream != nullptr) stream->Release();
    SetLastError(static_cast<DWORD>(status));
    return false;
  }
  stream_ = stream;
  loaded_ = true;
  RedrawWindow(hwnd_, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
  return true;
}

void CPictureCtrl::FreeData() {
  loaded_ = false;
  if (stream_ != nullptr) stream_->Release();
  stream_ = nullptr;
}

void CPictureCtrl::DrawItem(DRAWITEMSTRUCT* item) {
  if (!loaded_ || !gdiplus_.Running()) return;
  RECT client;
  GetClientRect(hwnd_, &client);
  const LARGE_INTEGER start{};
  stream_->Seek(start, STREAM_SEEK_SET, nullptr);
  Gdiplus::Image picture(stream_);
  if (picture.GetLastStatus() != Gdiplus::Ok) return;
  Gdiplus::Graphics surface(item->hDC);
  surface.DrawImage(&picture, static_cast<INT>(client.left), static_cast<INT>(client.top),
                    static_cast<INT>(client.right - client.left), static_cast<INT>(client.bottom - client.top));
}
