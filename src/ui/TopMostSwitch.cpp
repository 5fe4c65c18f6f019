#include "ui/TopMostSwitch.h"

#include <QGuiApplication>

namespace ravelin {

TopMostSwitch::TopMostSwitch(QWidget& window)
    : window_(window), check_(new QCheckBox(QString::fromUtf8("前端显示"), &window)) {
    check_->setLayoutDirection(Qt::RightToLeft);  // text at the left of the box
    check_->adjustSize();
}

void TopMostSwitch::Restore(IniFile& ini, bool configured) {
    if (QGuiApplication::platformName() == QLatin1String("wayland")) {
        // Wayland compositors ignore the hint: the box shows that, and WndTop stays as it was
        // for X11 sessions.
        check_->setChecked(false);
        check_->setEnabled(false);
        check_->setToolTip(QString::fromUtf8(
            "Wayland 合成器不支持窗口置顶 (Wayland compositors do not keep a window on top)"));
        return;
    }
    ini_ = &ini;
    check_->setChecked(configured);
    connect(check_, &QCheckBox::clicked, this, &TopMostSwitch::Apply);
    Apply();
}

void TopMostSwitch::Apply() {
    const bool topMost = check_->isChecked();
    if (topMost != window_.windowFlags().testFlag(Qt::WindowStaysOnTopHint)) {
        const bool visible = window_.isVisible();
        window_.setWindowFlag(Qt::WindowStaysOnTopHint, topMost);
        if (visible) window_.show();  // changing the flags hides a window
    }
    ini_->WriteString("Config", "WndTop", topMost ? "1" : "0");
}

}  // namespace ravelin
