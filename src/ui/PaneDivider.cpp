#include "ui/PaneDivider.h"

#include <QMouseEvent>

namespace ravelin {

PaneDivider::PaneDivider(QWidget* parent) : QWidget(parent) {
    setCursor(Qt::SplitHCursor);
}

void PaneDivider::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) return QWidget::mousePressEvent(event);
    grabOffset_ = event->position().toPoint().x();
}

void PaneDivider::mouseMoveEvent(QMouseEvent* event) {
    if (grabOffset_ < 0) return QWidget::mouseMoveEvent(event);
    emit dragged(mapToParent(event->position().toPoint()).x() - grabOffset_);
}

void PaneDivider::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton || grabOffset_ < 0) {
        return QWidget::mouseReleaseEvent(event);
    }
    emit dragged(mapToParent(event->position().toPoint()).x() - grabOffset_);
    grabOffset_ = -1;
    emit dropped();
}

}  // namespace ravelin
