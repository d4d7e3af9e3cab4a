#pragma once
// The windows were drawn by their outer size, frame and caption included; a Qt window is
// sized without its frame, so an ordinary frame's share is taken off first.

#include <QSize>

namespace grafimo {

// An ordinary sizeable frame: 4 pixels each side and a 26-pixel caption.
inline constexpr QSize kWindowFrame{8, 34};

inline constexpr QSize sizeInsideFrame(QSize outer)
{
    return outer - kWindowFrame;
}

} // namespace grafimo
