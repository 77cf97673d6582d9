#pragma once
// The template's static and push-button controls, as objects that derived classes dress: they
// add styles before the control is taken over (PreSubclassWindow) and handle its paint,
// owner-draw, mouse and text messages through their message maps.
#include "ui/framework/wnd.h"

class CStatic : public CWnd {};

class CButton : public CWnd {};
