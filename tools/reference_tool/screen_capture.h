// Capturing the screen, implemented per windowing system: capture_x11.cc
// (the X11 root window) and capture_win.cc (the Windows desktop).
#ifndef TOOLS_REFERENCE_TOOL_SCREEN_CAPTURE_H_
#define TOOLS_REFERENCE_TOOL_SCREEN_CAPTURE_H_

#include <string>

#include "tools/reference_tool/image.h"

namespace reference_tool {

// Captures the whole screen into |image|. False with a reason in |error|
// when there is no display to capture or the capture fails.
bool CaptureScreen(RgbImage* image, std::string* error);

}  // namespace reference_tool

#endif  // TOOLS_REFERENCE_TOOL_SCREEN_CAPTURE_H_
