#include "ui/StatusLine.h"

#include <algorithm>

namespace ravelin {

StatusLine::StatusLine(QWidget& window, const CaptureLists& lists)
    : lists_(lists),
      infoLabel_(new QLabel(&window)),
      stateLabel_(new QLabel(QStringLiteral("State:"), &window)),
      packetsLabel_(new QLabel(QStringLiteral("Packets:"), &window)),
      httpsLabel_(new QLabel(QStringLiteral("HTTPs:"), &window)),
      modeLabel_(new QLabel(&window)) {
    infoLabel_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    // The counters keep one size, wide enough for any count, so the layout does not jump.
    const QFontMetrics metrics = window.fontMetrics();
    const QSize counterSize(metrics.horizontalAdvance(QStringLiteral("Packets: 000000000")),
                            metrics.height() + 2);
    packetsLabel_->setFixedSize(counterSize);
    httpsLabel_->setFixedSize(counterSize);
    stateLabel_->setFixedSize(
        metrics.horizontalAdvance(QStringLiteral("State: Link packets done.")) + 40,
        metrics.height() + 2);
    infoLabel_->setFixedSize(metrics.horizontalAdvance(QStringLiteral("255.255.255.255")) + 8,
                             metrics.height() + 2);

    counterTimer_.setInterval(kCounterTimerMs);
    QObject::connect(&counterTimer_, &QTimer::timeout, [this] { UpdateCounters(); });
}

void StatusLine::SetStatus(std::string_view text) {
    stateLabel_->setText(QStringLiteral("State: ") +
                         QString::fromUtf8(text.data(), static_cast<int>(text.size())) +
                         QStringLiteral("."));
}

void StatusLine::UpdateCounters() {
    packetsLabel_->setText(QStringLiteral("Packets: %1").arg(lists_.packets.rowCount()));
    httpsLabel_->setText(QStringLiteral("HTTPs: %1").arg(lists_.requests.rowCount()));
}

void StatusLine::ShowAddress(const std::string& text) {
    infoLabel_->setText(QString::fromStdString(text));
}

void StatusLine::ShowAttributionMode(const std::string& mode) {
    modeLabel_->setText(QStringLiteral("Attribution: ") + QString::fromStdString(mode));
    modeLabel_->setToolTip(modeLabel_->text());
    modeLabel_->adjustSize();
}

void StatusLine::Measure(LayoutInput& input) const {
    const auto sizeOf = [](const QWidget* label) {
        return LayoutSize{label->width(), label->height()};
    };
    input.packetsLabel = sizeOf(packetsLabel_);
    input.httpsLabel = sizeOf(httpsLabel_);
    input.infoLabel = sizeOf(infoLabel_);
    input.stateLabel = sizeOf(stateLabel_);
}

void StatusLine::Place(const WindowLayout& layout) {
    const auto place = [](QWidget* label, const LayoutRect& rect) {
        label->setGeometry(rect.x, rect.y, rect.width, rect.height);
    };
    place(httpsLabel_, layout.httpsLabel);
    place(packetsLabel_, layout.packetsLabel);
    place(stateLabel_, layout.stateLabel);
    place(infoLabel_, layout.infoLabel);
    // The attribution mode follows the state, in whatever room the row has left.
    const LayoutRect& state = layout.stateLabel;
    const int modeX = state.x + state.width + 8;
    const int room = std::max(0, layout.infoLabel.x - modeX);
    modeLabel_->setGeometry(modeX, state.y, std::min(room, modeLabel_->sizeHint().width()),
                            state.height);
    infoLabel_->raise();  // above the toolbar's row, which it shares
}

}  // namespace ravelin
