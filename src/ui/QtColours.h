#pragma once

#include <QColor>
#include <QPalette>
#include <QWidget>

#include "rows/Colour.h"

namespace ravelin {

inline QColor ToQColor(Colour colour) {
    return QColor(RedOf(colour), GreenOf(colour), BlueOf(colour));
}

/// Gives a widget the window's background colour where it draws its background.
inline void SetBackground(QWidget& widget, Colour colour) {
    QPalette palette = widget.palette();
    palette.setColor(QPalette::Base, ToQColor(colour));
    palette.setColor(QPalette::Window, ToQColor(colour));
    widget.setPalette(palette);
    widget.setAutoFillBackground(true);
}

}  // namespace ravelin
