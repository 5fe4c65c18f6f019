#include "ui/PacketListCtrl.h"

#include <cmath>

#include <QHeaderView>
#include <QMouseEvent>
#include <QScrollBar>
#include <QTimer>

#include <algorithm>
#include <vector>

#include "ui/Fonts.h"
#include "ui/RowListModel.h"
#include "ui/WindowLayout.h"

namespace ravelin {

PacketListCtrl::PacketListCtrl(QWidget* parent) : QTableView(parent) {
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setShowGrid(true);
    setWordWrap(false);
    // The headings keep the window's font; the cells show payload text.
    horizontalHeader()->setFont(font());
    setFont(WithoutFallbacks(font()));
    setSortingEnabled(false);
    setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    verticalHeader()->hide();
    // Fixed row heights: a million rows scroll without measuring any of them.
    verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 4);
    horizontalHeader()->setSectionsClickable(false);
    horizontalHeader()->setHighlightSections(false);
    horizontalHeader()->setStretchLastSection(false);
    horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);

    refreshTimer_.setInterval(kRefreshPeriodMs);
    connect(&refreshTimer_, &QTimer::timeout, this, &PacketListCtrl::CatchUp);
    connect(&followTimer_, &QTimer::timeout, this, &PacketListCtrl::OnTick);
    connect(verticalScrollBar(), &QScrollBar::actionTriggered, this,
            &PacketListCtrl::OnScrollAction);
    // A user's change of a column width holds; the last column takes up the difference.
    connect(horizontalHeader(), &QHeaderView::sectionResized, this, [this](int section) {
        if (model_ != nullptr && section != model_->columnCount() - 1) FitLastColumn();
    });
}

void PacketListCtrl::SetRowModel(RowListModel* model, const std::vector<ListColumn>& columns) {
    model_ = model;
    setModel(model);
    // The widths suit a small font, where the 60 pixels of the time column hold "23:59:59"; a
    // larger desktop font would cut times and addresses short, so every width grows with it.
    const int timeWidth = fontMetrics().horizontalAdvance(QStringLiteral("23:59:59")) + 14;
    const double scale = std::max(1.0, timeWidth / 60.0);
    for (int column = 0; column < static_cast<int>(columns.size()); ++column) {
        const ListColumn& described = columns[static_cast<std::size_t>(column)];
        int width = static_cast<int>(std::lround(described.width * scale));
        if (!described.widest.isEmpty()) {
            width = std::max(width, fontMetrics().horizontalAdvance(described.widest) + 14);
        }
        setColumnWidth(column, width);
    }
    refreshTimer_.start();
}

void PacketListCtrl::FitLastColumn() {
    const int columns = model_ != nullptr ? model_->columnCount() : 0;
    if (columns == 0) return;
    std::vector<int> widths;
    widths.reserve(static_cast<std::size_t>(columns));
    for (int column = 0; column < columns; ++column) widths.push_back(columnWidth(column));
    // Where the other columns fill the list, the last one (the URL, the payload's preview)
    // keeps a width of its own that the horizontal scroll bar reaches, instead of none at all.
    const int least = fontMetrics().horizontalAdvance(QString(20, QLatin1Char('n')));
    const QSignalBlocker quiet(horizontalHeader());
    setColumnWidth(columns - 1, std::max(StretchLastColumn(width(), widths), least));
}

void PacketListCtrl::resizeEvent(QResizeEvent* event) {
    QTableView::resizeEvent(event);
    FitLastColumn();
}

void PacketListCtrl::StartFollowing(int periodMs) {
    followTimer_.stop();
    following_ = true;
    followTimer_.start(periodMs);
}

void PacketListCtrl::StopFollowing() {
    followTimer_.stop();
    following_ = false;
}

void PacketListCtrl::CatchUp() {
    catchUpQueued_ = false;
    if (model_ == nullptr || !model_->Refresh(kRowsPerSlice) || catchUpQueued_) return;
    catchUpQueued_ = true;
    // A timer, not a posted event, so that other timers and input get their turn between slices.
    QTimer::singleShot(1, this, &PacketListCtrl::CatchUp);
}

void PacketListCtrl::OnTick() {
    if (model_ == nullptr) return;
    CatchUp();
    const int rows = model_->rowCount();
    if (rows > 0) scrollTo(model_->index(rows - 1, 0), QAbstractItemView::EnsureVisible);
}

void PacketListCtrl::ShowNewRows() {
    if (following_) {
        OnTick();
    } else {
        CatchUp();
    }
}

QList<int> PacketListCtrl::SelectedRows() const {
    QList<int> rows;
    if (selectionModel() == nullptr) return rows;
    for (const QModelIndex& index : selectionModel()->selectedRows()) rows.append(index.row());
    std::sort(rows.begin(), rows.end());
    return rows;
}

void PacketListCtrl::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) StopFollowing();
    QTableView::mousePressEvent(event);
}

void PacketListCtrl::OnScrollAction(int action) {
    switch (action) {
        case QAbstractSlider::SliderSingleStepSub:  // the up arrow: back to the first row
            StopFollowing();
            if (model_ != nullptr && model_->rowCount() > 0) {
                const QModelIndex first = model_->index(0, 0);
                scrollTo(first, QAbstractItemView::EnsureVisible);
                selectionModel()->setCurrentIndex(
                    first, QItemSelectionModel::Select | QItemSelectionModel::Rows);
            }
            setFocus();
            break;
        case QAbstractSlider::SliderSingleStepAdd:  // the down arrow: follow the newest row
            clearSelection();
            if (model_ != nullptr && model_->rowCount() > 0) {
                scrollTo(model_->index(model_->rowCount() - 1, 0),
                         QAbstractItemView::EnsureVisible);
            }
            StartFollowing(kRefreshPeriodMs);
            break;
        case QAbstractSlider::SliderPageStepAdd:
        case QAbstractSlider::SliderPageStepSub:
        case QAbstractSlider::SliderMove:
        case QAbstractSlider::SliderToMinimum:
        case QAbstractSlider::SliderToMaximum:
            StopFollowing();
            break;
        default:
            break;
    }
}

}  // namespace ravelin
