// X11 only.
#include "tools/reference_tool/screen_capture.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <atomic>

namespace reference_tool {
namespace {

// Xlib's default error handler ends the process; a failed XGetImage must
// come back as a failed capture instead. Only the capturing thread talks to
// the display, so one flag is enough.
std::atomic<int> g_last_x_error{0};

int RecordXError(Display*, XErrorEvent* event) {
  g_last_x_error = event->error_code;
  return 0;
}

// The position of the lowest set bit of |mask| and the number of set bits,
// to scale a channel of any visual to 8 bits.
void MaskShape(unsigned long mask, int* shift, int* bits) {
  *shift = 0;
  *bits = 0;
  if (mask == 0)
    return;
  while (!(mask & 1)) {
    mask >>= 1;
    ++*shift;
  }
  while (mask & 1) {
    mask >>= 1;
    ++*bits;
  }
}

uint8_t Channel(unsigned long pixel, int shift, int bits) {
  if (bits == 0)
    return 0;
  const unsigned long value = (pixel >> shift) & ((1ul << bits) - 1);
  return static_cast<uint8_t>(value * 255 / ((1ul << bits) - 1));
}

}  // namespace

bool CaptureScreen(RgbImage* image, std::string* error) {
  Display* display = XOpenDisplay(nullptr);
  if (!display) {
    *error = "no X display (DISPLAY is unset or unreachable)";
    return false;
  }
  XErrorHandler previous = XSetErrorHandler(RecordXError);
  g_last_x_error = 0;
  const Window root = DefaultRootWindow(display);
  XWindowAttributes attributes;
  bool ok = XGetWindowAttributes(display, root, &attributes) != 0;
  XImage* ximage = nullptr;
  if (ok) {
    ximage = XGetImage(display, root, 0, 0, static_cast<unsigned>(attributes.width),
                       static_cast<unsigned>(attributes.height), AllPlanes, ZPixmap);
    XSync(display, False);
  }
  if (!ximage || g_last_x_error != 0) {
    *error = "XGetImage of the root window failed (X error " + std::to_string(g_last_x_error) + ")";
    ok = false;
  } else if (ximage->red_mask == 0 || ximage->green_mask == 0 || ximage->blue_mask == 0) {
    *error = "the root window's visual is not a true-colour one";
    ok = false;
  }
  if (ok) {
    int red_shift, red_bits, green_shift, green_bits, blue_shift, blue_bits;
    MaskShape(ximage->red_mask, &red_shift, &red_bits);
    MaskShape(ximage->green_mask, &green_shift, &green_bits);
    MaskShape(ximage->blue_mask, &blue_shift, &blue_bits);
    image->width = ximage->width;
    image->height = ximage->height;
    image->origin_x = attributes.x;
    image->origin_y = attributes.y;
    image->pixels.resize(static_cast<size_t>(ximage->width) * ximage->height * 3);
    uint8_t* out = image->pixels.data();
    // The usual 24-bit true-colour layout, read directly: XGetPixel per
    // pixel costs a call each, some hundred milliseconds for one screen.
    const bool direct = ximage->bits_per_pixel == 32 && ximage->byte_order == LSBFirst &&
                        ximage->red_mask == 0xFF0000 && ximage->green_mask == 0xFF00 &&
                        ximage->blue_mask == 0xFF;
    for (int y = 0; y < ximage->height; ++y) {
      const auto* row = reinterpret_cast<const uint8_t*>(ximage->data) +
                        static_cast<size_t>(y) * ximage->bytes_per_line;
      for (int x = 0; x < ximage->width; ++x) {
        if (direct) {
          // Bytes in memory: blue, green, red, unused.
          *out++ = row[x * 4 + 2];
          *out++ = row[x * 4 + 1];
          *out++ = row[x * 4];
          continue;
        }
        const unsigned long pixel = XGetPixel(ximage, x, y);
        *out++ = Channel(pixel, red_shift, red_bits);
        *out++ = Channel(pixel, green_shift, green_bits);
        *out++ = Channel(pixel, blue_shift, blue_bits);
      }
    }
  }
  if (ximage)
    XDestroyImage(ximage);
  XSetErrorHandler(previous);
  XCloseDisplay(display);
  return ok;
}

}  // namespace reference_tool
