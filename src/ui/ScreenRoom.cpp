#include "ui/ScreenRoom.h"

#include <QGuiApplication>

#include <algorithm>

namespace ravelin {

namespace {

constexpr int kWaylandPanelAllowance = 48;

}  // namespace

QRect UsableArea(const QScreen& screen) {
    QRect area = screen.availableGeometry();
    if (area == screen.geometry() &&
        QGuiApplication::platformName().startsWith(QLatin1String("wayland"))) {
        area.setHeight(area.height() - kWaylandPanelAllowance);
    }
    return area;
}

QSize FirstWindowSize(const QScreen& screen, const QMargins& frame) {
    const QRect area = UsableArea(screen);
    const int panels = screen.geometry().height() - area.height();
    return QSize(std::min(1024, area.width()), std::min(768 - panels, area.height())) -
           QSize(frame.left() + frame.right(), frame.top() + frame.bottom());
}

}  // namespace ravelin
