// Windows only.
#include "tools/reference_tool/screen_capture.h"

#include <windows.h>


namespace reference_tool {
namespace {

// Releases what the capture holds on every return path.
struct ScreenDc {
  HDC dc = GetDC(nullptr);
  ~ScreenDc() {
    if (dc)
      ReleaseDC(nullptr, dc);
  }
};
struct MemoryDc {
  explicit MemoryDc(HDC screen) : dc(CreateCompatibleDC(screen)) {}
  ~MemoryDc() {
    if (dc)
      DeleteDC(dc);
  }
  HDC dc;
};
struct Bitmap {
  HBITMAP bitmap = nullptr;
  ~Bitmap() {
    if (bitmap)
      DeleteObject(bitmap);
  }
};

std::string Failure(const char* what) {
  return std::string(what) + " failed: error " + std::to_string(GetLastError());
}

}  // namespace

bool CaptureScreen(RgbImage* image, std::string* error) {
  // The virtual screen spans every monitor; its origin is negative when a
  // monitor lies left of or above the primary one.
  const int x = GetSystemMetrics(SM_XVIRTUALSCREEN);
  const int y = GetSystemMetrics(SM_YVIRTUALSCREEN);
  const int width = GetSystemMetrics(SM_CXVIRTUALSCREEN);
  const int height = GetSystemMetrics(SM_CYVIRTUALSCREEN);
  if (width <= 0 || height <= 0) {
    *error = "no screen to capture";
    return false;
  }

  ScreenDc screen;
  if (!screen.dc) {
    *error = Failure("GetDC");
    return false;
  }
  MemoryDc memory(screen.dc);
  if (!memory.dc) {
    *error = Failure("CreateCompatibleDC");
    return false;
  }
  // A top-down 32-bit DIB (negative height): rows come out in screen order
  // and each pixel is B, G, R, unused, with no row padding.
  BITMAPINFO info = {};
  info.bmiHeader.biSize = sizeof(info.bmiHeader);
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = -height;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  Bitmap dib;
  dib.bitmap = CreateDIBSection(screen.dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  if (!dib.bitmap || !bits) {
    *error = Failure("CreateDIBSection");
    return false;
  }
  HGDIOBJ previous = SelectObject(memory.dc, dib.bitmap);
  // CAPTUREBLT takes layered (translucent) windows along, as the user sees
  // them.
  const BOOL copied =
      BitBlt(memory.dc, 0, 0, width, height, screen.dc, x, y, SRCCOPY | CAPTUREBLT);
  const std::string copy_error = copied ? std::string() : Failure("BitBlt");
  GdiFlush();
  SelectObject(memory.dc, previous);
  if (!copied) {
    *error = copy_error;
    return false;
  }

  image->width = width;
  image->height = height;
  image->origin_x = x;
  image->origin_y = y;
  image->pixels.resize(static_cast<size_t>(width) * height * 3);
  const auto* source = static_cast<const uint8_t*>(bits);
  uint8_t* target = image->pixels.data();
  for (size_t i = 0, n = static_cast<size_t>(width) * height; i < n; ++i) {
    target[3 * i] = source[4 * i + 2];
    target[3 * i + 1] = source[4 * i + 1];
    target[3 * i + 2] = source[4 * i];
  }
  return true;
}

}  // namespace reference_tool
