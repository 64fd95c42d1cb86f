#include "tools/reference_tool/screen_capture.h"

#include <gtest/gtest.h>

// Last: Xlib defines macros (None, Bool) that clash with names in gtest.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace reference_tool {
namespace {

// Paints the root window with one colour, so that the capture has a known
// content, and restores the black background afterwards.
class PaintedRoot {
 public:
  PaintedRoot(Display* display, unsigned short red, unsigned short green, unsigned short blue)
      : display_(display), root_(DefaultRootWindow(display)) {
    XColor colour = {};
    colour.red = red;
    colour.green = green;
    colour.blue = blue;
    colour.flags = DoRed | DoGreen | DoBlue;
    allocated_ = XAllocColor(display_, DefaultColormap(display_, DefaultScreen(display_)), &colour);
    // The visual may hold fewer bits per channel: the server gives back the
    // colour it really uses.
    rgb_[0] = colour.red >> 8;
    rgb_[1] = colour.green >> 8;
    rgb_[2] = colour.blue >> 8;
    XSetWindowBackground(display_, root_, colour.pixel);
    XClearWindow(display_, root_);
    XSync(display_, False);
  }
  ~PaintedRoot() {
    XSetWindowBackground(display_, root_, BlackPixel(display_, DefaultScreen(display_)));
    XClearWindow(display_, root_);
    XSync(display_, False);
  }
  bool allocated() const { return allocated_ != 0; }
  int channel(int index) const { return rgb_[index]; }

 private:
  Display* const display_;
  const Window root_;
  Status allocated_ = 0;
  int rgb_[3] = {};
};

TEST(CaptureX11Test, CapturesTheRootWindowAsRgb) {
  Display* display = XOpenDisplay(nullptr);
  if (!display)
    GTEST_SKIP() << "no X display (the test suite runs under xvfb-run)";
  XWindowAttributes root;
  ASSERT_TRUE(XGetWindowAttributes(display, DefaultRootWindow(display), &root));
  {
    // Three different channel values: a swapped channel shows.
    PaintedRoot painted(display, 0x1200, 0x8000, 0xF000);
    ASSERT_TRUE(painted.allocated());
    RgbImage image;
    std::string error;
    ASSERT_TRUE(CaptureScreen(&image, &error)) << error;
    EXPECT_EQ(image.width, root.width);
    EXPECT_EQ(image.height, root.height);
    ASSERT_EQ(image.pixels.size(), static_cast<size_t>(image.width) * image.height * 3);
    // First and last pixel: the row stride and the end of the buffer.
    for (size_t at : {size_t{0}, image.pixels.size() - 3}) {
      for (int channel = 0; channel < 3; ++channel)
        EXPECT_NEAR(image.pixels[at + channel], painted.channel(channel), 1) << at << " " << channel;
    }
  }
  XCloseDisplay(display);
}

}  // namespace
}  // namespace reference_tool
