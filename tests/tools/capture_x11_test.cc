#include "tools/reference_tool/screen_capture.h"

#include <gtest/gtest.h>

// Last: Xlib defines macros (None, Bool) that clash with names in gtest.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace reference_tool {
namespace {

// Paints the root window with one colour, so that the capture has a known
// content; the root's background is black again afterwards.
TEST(CaptureX11Test, CapturesTheRootWindowAsRgb) {
  Display* display = XOpenDisplay(nullptr);
  if (!display)
    GTEST_SKIP() << "no X display (the test suite runs under xvfb-run)";
  const Window root = DefaultRootWindow(display);
  XWindowAttributes attributes;
  ASSERT_TRUE(XGetWindowAttributes(display, root, &attributes));
  // Three different channel values: a swapped channel shows. The visual
  // may hold fewer bits per channel: the server gives back the colour it
  // really uses.
  XColor colour = {};
  colour.red = 0x1200;
  colour.green = 0x8000;
  colour.blue = 0xF000;
  colour.flags = DoRed | DoGreen | DoBlue;
  ASSERT_TRUE(XAllocColor(display, DefaultColormap(display, DefaultScreen(display)), &colour));
  const int rgb[3] = {colour.red >> 8, colour.green >> 8, colour.blue >> 8};
  XSetWindowBackground(display, root, colour.pixel);
  XClearWindow(display, root);
  XSync(display, False);

  RgbImage image;
  std::string error;
  const bool captured = CaptureScreen(&image, &error);
  XSetWindowBackground(display, root, BlackPixel(display, DefaultScreen(display)));
  XClearWindow(display, root);
  XCloseDisplay(display);

  ASSERT_TRUE(captured) << error;
  EXPECT_EQ(image.width, attributes.width);
  EXPECT_EQ(image.height, attributes.height);
  ASSERT_EQ(image.pixels.size(), static_cast<size_t>(image.width) * image.height * 3);
  // First and last pixel: the row stride and the end of the buffer.
  for (size_t at : {size_t{0}, image.pixels.size() - 3}) {
    for (int channel = 0; channel < 3; ++channel)
      EXPECT_NEAR(image.pixels[at + channel], rgb[channel], 1) << at << " " << channel;
  }
}

}  // namespace
}  // namespace reference_tool
