#include <QHeaderView>
#include <QScreen>
#include <QWindow>

#include "ui/MainDialog.h"
#include "ui/PacketListCtrl.h"
#include "ui/PaneDivider.h"
#include "ui/ProcessTreeCtrl.h"
#include "ui/ScreenRoom.h"
#include "ui/WindowLayout.h"

// The window's geometry: where each part goes, how large the window may get, and the edge
// between the tree and the lists that the user drags.

namespace ravelin {

void MainDialog::CreateTreeDivider() {
    treeDivider_ = new PaneDivider(this);
    connect(treeDivider_, &PaneDivider::dragged, this, [this](int x) {
        treeWidth_ = x;
        Layout();
    });
    // The width the tree got, which a drag past the window's room does not change, holds for
    // the next start too.
    connect(treeDivider_, &PaneDivider::dropped, this, [this] {
        treeWidth_ = treeView_->width();
        if (ini_ != nullptr) ini_->WriteString("Config", kTreeWidthKey, std::to_string(treeWidth_));
    });
}

void MainDialog::Layout() {
    LayoutInput input;
    if (toolBar_ != nullptr) {
        input.toolbarHeight = toolBar_->sizeHint().height();
        input.toolbarWidth = toolBar_->sizeHint().width();
    }
    input.topmostCheck = {topMostCheck()->width(), topMostCheck()->height()};
    status_->Measure(input);
    input.treePreferredWidth = treeView_->PreferredWidth();
    input.treeMinimumWidth = treeView_->MinimumWidth();
    input.listMinimumHeight = httpList_->horizontalHeader()->sizeHint().height() +
                              3 * httpList_->verticalHeader()->defaultSectionSize() +
                              2 * httpList_->frameWidth();
    input.treeWidth = treeWidth_;
    // Before the client size is read: a larger minimum resizes the window.
    const LayoutSize least = MinimumClientSize(input);
    QSize minimum(least.width, least.height);
    if (const QScreen* screen = this->screen()) {
        minimum = minimum.boundedTo(UsableArea(*screen).size());
    }
    if (minimum != minimumSize()) setMinimumSize(minimum);
    input.clientWidth = width();
    input.clientHeight = height();
    const WindowLayout layout = ComputeLayout(input);

    const auto place = [](QWidget* widget, const LayoutRect& rect) {
        widget->setGeometry(rect.x, rect.y, rect.width, rect.height);
    };
    if (toolBar_ != nullptr) toolBar_->setGeometry(0, 0, width(), input.toolbarHeight);
    place(topMostCheck(), layout.topmostCheck);
    place(treeView_, layout.processTree);
    place(httpList_, layout.httpList);
    place(packetList_, layout.packetList);
    place(textPane(), layout.textPane);
    place(hexPane(), layout.hexPane);
    place(treeDivider_, layout.treeDivider);
    treeDivider_->raise();
    topMostCheck()->raise();
    status_->Place(layout);
}

void MainDialog::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    Layout();
}

void MainDialog::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    // Once shown, a platform that draws the frame itself (Wayland) knows how large it is: the
    // first size then leaves it just the room it takes.
    const QScreen* screen = this->screen();
    const QMargins frame = windowHandle() != nullptr ? windowHandle()->frameMargins() : QMargins();
    if (screen != nullptr && size() == firstSize_ && !frame.isNull()) {
        firstSize_ = FirstWindowSize(*screen, frame);
        resize(firstSize_);
    }
    Layout();
}

}  // namespace ravelin
