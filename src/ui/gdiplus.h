#pragma once
// GDI+ for the picture decoding. Its headers expect the min and max macros of windows.h, which
// the rest of the program does without; they get the standard ones instead.
#include <windows.h>
#include <objidl.h>

#include <algorithm>
namespace Gdiplus {
using std::max;
using std::min;
}  // namespace Gdiplus
#include <gdiplus.h>
