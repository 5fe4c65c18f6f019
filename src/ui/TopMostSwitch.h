#pragma once

#include <QCheckBox>
#include <QObject>
#include <QWidget>

#include "config/IniFile.h"

namespace ravelin {

/// The check box that keeps a window above the others while it is ticked, and the choice in the
/// configuration file (WndTop) for the next start.
class TopMostSwitch : public QObject {
    Q_OBJECT

public:
    /// Makes the box, a child of `window`.
    explicit TopMostSwitch(QWidget& window);

    /// Ticks the box as the configuration file chose (`configured`) and follows the user's
    /// clicks from now on. Where the platform cannot keep a window on top (Wayland), the box is
    /// disabled and says why, and WndTop stays as it was.
    void Restore(IniFile& ini, bool configured);

    QCheckBox& check() const { return *check_; }

private:
    void Apply();

    QWidget& window_;
    QCheckBox* check_;  // owned by the window
    IniFile* ini_ = nullptr;
};

}  // namespace ravelin
