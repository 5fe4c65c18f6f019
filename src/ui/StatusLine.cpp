#include "ui/StatusLine.h"

#include <algorithm>

namespace ravelin {

namespace {

QString FromUtf8(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// What `label` needs to show `text` whole; a pixel or two more than its advance, which the
// label's bounding rectangle may take.
int TextWidth(const QLabel* label, const QString& text) {
    return label->fontMetrics().horizontalAdvance(text) + 2;
}

void PlaceIn(QLabel* label, const LayoutRect& room, int width) {
    label->setGeometry(room.x, room.y, std::min(width, room.width), room.height);
}

}  // namespace

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
    modeLabel_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
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

    lossLabel_->hide();

    counterTimer_.setInterval(kCounterTimerMs);
    QObject::connect(&counterTimer_, &QTimer::timeout, [this] {
        UpdateCounters();
        if (statistics_) ShowStatistics(statistics_());
    });
    catchUpTimer_.setSingleShot(true);
    catchUpTimer_.setInterval(kCatchUpMs);
    QObject::connect(&catchUpTimer_, &QTimer::timeout, [this] { UpdateCounters(); });
    activityTimer_.setSingleShot(true);
    activityTimer_.setInterval(kActivityShownMs);
    QObject::connect(&activityTimer_, &QTimer::timeout, [this] { ShowStateText(state_); });
}

void StatusLine::StartCounterTimer() {
    lossShown_ = false;  // a new capture has counters of its own
    lossLabel_->hide();
    counterTimer_.start();
}

void StatusLine::StopCounterTimer() {
    counterTimer_.stop();
    UpdateCounters();
    catchUpTimer_.start();
}

void StatusLine::ShowStatistics(const std::optional<CaptureStatistics>& statistics) {
    if (!statistics || statistics->dropped == 0) return;  // the last counts stay after Stop
    lossText_ = QStringLiteral("Received: %1  Dropped: %2")
                    .arg(statistics->received)
                    .arg(statistics->dropped);
    if (!lossShown_) {
        lossShown_ = true;
        lossLabel_->show();
    }
    PlaceLoss();
}

void StatusLine::ShowState(std::string_view text) {
    state_ = std::string(text);
    activityTimer_.stop();
    ShowStateText(text);
}

void StatusLine::ShowActivity(std::string_view text) {
    ShowStateText(text);
    activityTimer_.start();
}

void StatusLine::ShowStateText(std::string_view text) {
    stateLabel_->setText(QStringLiteral("State: ") + FromUtf8(text) + QStringLiteral("."));
}

void StatusLine::UpdateCounters() {
    packetsLabel_->setText(QStringLiteral("Packets: %1").arg(lists_.packets.rowCount()));
    httpsLabel_->setText(QStringLiteral("HTTPs: %1").arg(lists_.requests.rowCount()));
}

void StatusLine::ShowAddress(const std::string& text) {
    const QString shown = QString::fromStdString(text);
    // As wide as an IPv4 address always, so that the toolbar does not jump between them; wider
    // for an IPv6 address that needs it.
    const QFontMetrics metrics = infoLabel_->fontMetrics();
    infoLabel_->setFixedWidth(std::max(metrics.horizontalAdvance(QStringLiteral("255.255.255.255")),
                                       metrics.horizontalAdvance(shown)) +
                              8);
    infoLabel_->setText(shown);
}

void StatusLine::ShowAttributionMode(const std::string& mode) {
    modeText_ = QStringLiteral("Attribution: ") + QString::fromStdString(mode);
    // The reason why the socket tables are used is the part to leave out where room is short.
    const qsizetype reason = modeText_.indexOf(QStringLiteral(" ("));
    shortModeText_ = reason < 0 ? modeText_ : modeText_.left(reason);
    modeLabel_->setToolTip(modeText_);
    PlaceMode();
}

void StatusLine::Measure(LayoutInput& input) const {
    const auto sizeOf = [](const QWidget* label) {
        return LayoutSize{label->width(), label->height()};
    };
    input.packetsLabel = sizeOf(packetsLabel_);
    input.httpsLabel = sizeOf(httpsLabel_);
    input.infoLabel = sizeOf(infoLabel_);
    input.stateLabel = sizeOf(stateLabel_);
    input.modeLabel = {TextWidth(modeLabel_, shortModeText_), infoLabel_->height()};
}

void StatusLine::Place(const WindowLayout& layout) {
    const auto place = [](QLabel* label, const LayoutRect& rect) {
        label->setGeometry(rect.x, rect.y, rect.width, rect.height);
    };
    place(httpsLabel_, layout.httpsLabel);
    place(packetsLabel_, layout.packetsLabel);
    place(stateLabel_, layout.stateLabel);
    place(infoLabel_, layout.infoLabel);
    lossRoom_ = layout.lossRoom;
    modeRoom_ = layout.modeRoom;
    PlaceLoss();
    PlaceMode();
    // Above the toolbar, whose row they share.
    infoLabel_->raise();
    modeLabel_->raise();
}

void StatusLine::PlaceLoss() {
    // Only a window below its minimum size lacks the room: the counts then end in "…" and the
    // tool tip holds them whole.
    const int width = TextWidth(lossLabel_, lossText_);
    const bool fits = width <= lossRoom_.width;
    lossLabel_->setText(fits ? lossText_
                             : lossLabel_->fontMetrics().elidedText(lossText_, Qt::ElideRight,
                                                                    lossRoom_.width - 2));
    lossLabel_->setToolTip(
        (fits ? QString() : lossText_ + QStringLiteral("\n")) +
        QStringLiteral("Packets the kernel received and dropped before Ravelin read them"));
    PlaceIn(lossLabel_, lossRoom_, width);
}

void StatusLine::PlaceMode() {
    const int width = TextWidth(modeLabel_, modeText_);
    const bool fits = width <= modeRoom_.width;
    modeLabel_->setText(fits ? modeText_ : shortModeText_);
    const int shown = fits ? width : TextWidth(modeLabel_, shortModeText_);
    // Right-aligned, next to the check box.
    const LayoutRect room = modeRoom_;
    const int x = room.x + std::max(0, room.width - shown);
    PlaceIn(modeLabel_, {x, room.y, room.width - (x - room.x), room.height}, shown);
}

}  // namespace ravelin
