#pragma once

#include <QTableView>
#include <QTimer>

#include <vector>

#include "ui/ListColumns.h"

namespace ravelin {

class RowListModel;

/// A list of the window (HTTP requests or packets) over a RowListModel.
///
/// New rows reach the view in batches: a timer asks the model to catch up with its store every
/// 50 ms. While the list follows, each tick also brings the newest row into view; a click in
/// the list or scrolling hands the list to the user, and the scroll bar's down arrow gives it
/// back (the up arrow jumps to the first row and selects it).
class PacketListCtrl : public QTableView {
    Q_OBJECT

public:
    static constexpr int kRefreshPeriodMs = 50;
    /// Announcing rows to the view costs time per row; in slices of this many, the window's
    /// thread gets back to other events between them even while rows arrive at full speed.
    /// 20,000 rows took 6 ms beside a paint, a stall of a frame at 60 Hz; 5,000 still list
    /// millions of rows a second.
    static constexpr int kRowsPerSlice = 5000;

    explicit PacketListCtrl(QWidget* parent = nullptr);

    /// Sets the model (which the list does not own) and the columns' widths, given for a small
    /// font and widened with a larger one, and further where a column's widest text needs
    /// more. The last column stretches to the list's right edge, and keeps a width of twenty
    /// letters where the others fill the list.
    void SetRowModel(RowListModel* model, const std::vector<ListColumn>& columns);
    RowListModel* rowModel() const { return model_; }

    void StartFollowing(int periodMs);
    void StopFollowing();
    bool following() const { return following_; }

    /// Brings the rows stored so far into the view now rather than at the next tick, and the
    /// newest into sight while the list follows (when capture ends, say).
    void ShowNewRows();

    /// The selected rows, ascending.
    QList<int> SelectedRows() const;

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void FitLastColumn();
    void CatchUp();
    void OnTick();
    void OnScrollAction(int action);

    RowListModel* model_ = nullptr;
    QTimer refreshTimer_;
    QTimer followTimer_;
    bool following_ = false;
    bool catchUpQueued_ = false;
};

}  // namespace ravelin
