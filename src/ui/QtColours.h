#pragma once

#include <QColor>
#include <QPalette>
#include <QWidget>

#include "rows/Colour.h"

namespace ravelin {

inline QColor ToQColor(Colour colour) {
    return QColor(RedOf(colour), GreenOf(colour), BlueOf(colour));
}

/// The text on the window's light backgrounds and on the rows' colours, whatever the theme.
inline QColor DarkText() {
    return QColor(0, 0, 0);
}

/// Gives a widget the window's background colour where it draws its background, and dark text
/// on it: a dark theme's light text would not show.
inline void SetBackground(QWidget& widget, Colour colour) {
    QPalette palette = widget.palette();
    palette.setColor(QPalette::Base, ToQColor(colour));
    palette.setColor(QPalette::Window, ToQColor(colour));
    palette.setColor(QPalette::Text, DarkText());
    palette.setColor(QPalette::WindowText, DarkText());
    widget.setPalette(palette);
    widget.setAutoFillBackground(true);
}

}  // namespace ravelin
