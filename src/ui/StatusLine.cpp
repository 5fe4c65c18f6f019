#include "ui/StatusLine.h"

#include <algorithm>

namespace ravelin {

StatusLine::StatusLine(QWidget& window, const CaptureLists& lists, StatisticsSource statistics)
    : lists_(lists),
      statistics_(std::move(statistics)),
      infoLabel_(new QLabel(&window)),
      stateLabel_(new QLabel(QStringLiteral("State:"), &window)),
      packetsLabel_(new QLabel(QStringLiteral("Packets:"), &window)),
      httpsLabel_(new QLabel(QStringLiteral("HTTPs:"), &window)),
      modeLabel_(new QLabel(&window)),
      lossLabel_(new QLabel(&window)) {
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

    lossLabel_->setToolTip(
        QStringLiteral("Packets the kernel received and dropped before Ravelin read them"));
    lossLabel_->hide();

    counterTimer_.setInterval(kCounterTimerMs);
    QObject::connect(&counterTimer_, &QTimer::timeout, [this] {
        UpdateCounters();
        if (statistics_) ShowStatistics(statistics_());
    });
    catchUpTimer_.setSingleShot(true);
    catchUpTimer_.setInterval(kCatchUpMs);
    QObject::connect(&catchUpTimer_, &QTimer::timeout, [this] { UpdateCounters(); });
}

void StatusLine::StartCounterTimer() {
    lossShown_ = false;  // a new capture has counters of its own
    lossLabel_->hide();
    PlaceAfterState();
    counterTimer_.start();
}

void StatusLine::StopCounterTimer() {
    counterTimer_.stop();
    UpdateCounters();
    catchUpTimer_.start();
}

void StatusLine::ShowStatistics(const std::optional<CaptureStatistics>& statistics) {
    if (!statistics || statistics->dropped == 0) return;  // the last counts stay after Stop
    lossLabel_->setText(QStringLiteral("Received: %1  Dropped: %2")
                            .arg(statistics->received)
                            .arg(statistics->dropped));
    lossLabel_->adjustSize();
    if (!lossShown_) {
        lossShown_ = true;
        lossLabel_->show();
    }
    PlaceAfterState();
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
    PlaceAfterState();
    infoLabel_->raise();  // above the toolbar's row, which it shares
}

void StatusLine::PlaceAfterState() {
    // Loss, when there is any, then the attribution mode follow the state, in whatever room
    // the row has left before the counters.
    const QRect state = stateLabel_->geometry();
    const int end = packetsLabel_->x() - 8;
    int x = state.right() + 1 + 8;
    for (QLabel* label : {lossLabel_, modeLabel_}) {
        if (label == lossLabel_ && !lossShown_) continue;
        const int width = std::min(std::max(0, end - x), label->sizeHint().width());
        label->setGeometry(x, state.y(), width, state.height());
        x += width + 12;
    }
}

}  // namespace ravelin
