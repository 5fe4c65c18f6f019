#include "ui/PacketListCtrl.h"

#include <QHeaderView>
#include <QMouseEvent>
#include <QScrollBar>
#include <QTimer>

#include <algorithm>

#include "ui/RowListModel.h"

namespace ravelin {

PacketListCtrl::PacketListCtrl(QWidget* parent) : QTableView(parent) {
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setShowGrid(true);
    setWordWrap(false);
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
}

void PacketListCtrl::SetRowModel(RowListModel* model, const QList<int>& columnWidths) {
    model_ = model;
    setModel(model);
    for (int column = 0; column < columnWidths.size(); ++column) {
        setColumnWidth(column, columnWidths[column]);
    }
    refreshTimer_.start();
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
