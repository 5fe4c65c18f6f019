#pragma once

#include <QMargins>
#include <QRect>
#include <QScreen>
#include <QSize>

namespace ravelin {

/// What a title bar and the borders take, until the window is shown and the platform tells.
constexpr QMargins kFrameEstimate(4, 36, 4, 4);

/// The part of the screen that a window may take. Wayland tells a program nothing of the
/// desktop's panels, and Qt then reports the whole screen as available: room is left for a top
/// bar such as GNOME's (32 pixels) or a panel such as KDE's (44).
QRect UsableArea(const QScreen& screen);

/// The window's first size without its frame: with the frame 1024 wide and 768 less the panels
/// high, as far as the usable area reaches, so that the status line does not fall off a small
/// screen.
QSize FirstWindowSize(const QScreen& screen, const QMargins& frame);

}  // namespace ravelin
