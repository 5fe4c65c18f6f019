#pragma once

#include <QWidget>

namespace ravelin {

/// The strip between the process tree and the lists: dragging it gives the tree another width
/// (the counters beside the process names want more room than a quarter of the window).
/// Paints nothing; only the cursor shows it is there.
class PaneDivider : public QWidget {
    Q_OBJECT

public:
    explicit PaneDivider(QWidget* parent);

signals:
    /// The tree's right edge should go to `x`, in the parent's coordinates.
    void dragged(int x);
    /// The drag has ended (after its last `dragged`).
    void dropped();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    int grabOffset_ = -1;  // where in the strip the drag took hold; -1: no drag
};

}  // namespace ravelin
