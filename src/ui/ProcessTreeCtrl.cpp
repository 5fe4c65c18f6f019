#include "ui/ProcessTreeCtrl.h"

#include <QHeaderView>
#include <QStyle>
#include <QTimer>

#include <algorithm>

#include "ui/ProcessTreeModel.h"

namespace ravelin {

ProcessTreeCtrl::ProcessTreeCtrl(QWidget* parent) : QTreeView(parent) {
    setRootIsDecorated(true);
    setUniformRowHeights(true);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setSelectionMode(QAbstractItemView::SingleSelection);
    // The headings sort; the view's own sorting would sort by the names at once, which is not
    // an order the tree has.
    header()->setSectionsClickable(true);
    header()->setSortIndicatorShown(false);
    header()->setStretchLastSection(false);
    connect(header(), &QHeaderView::sectionClicked, this, &ProcessTreeCtrl::OnHeadingClicked);
    connect(header(), &QHeaderView::sectionResized, this, [this](int column) {
        if (column == ProcessTreeModel::kNameColumn && !fittingNames_) nameSizedByUser_ = true;
    });
    fitNames_ = new QTimer(this);
    fitNames_->setSingleShot(true);
    fitNames_->setInterval(0);
    connect(fitNames_, &QTimer::timeout, this, &ProcessTreeCtrl::FitNameColumn);
}

void ProcessTreeCtrl::SetTreeModel(ProcessTreeModel* model) {
    model_ = model;
    setModel(model);
    expand(model->rootIndex());
    // The counters get a fixed width that holds any value, so that they do not jump about as
    // the rates change every second; the user may still drag them.
    const QString widest = QStringLiteral("1023.9 MiB/s");
    for (int column = ProcessTreeModel::kSentRateColumn; column < ProcessTreeModel::kColumnCount;
         ++column) {
        const QString heading = model->headerData(column, Qt::Horizontal).toString();
        setColumnWidth(column, std::max(fontMetrics().horizontalAdvance(widest),
                                        header()->fontMetrics().horizontalAdvance(heading)) +
                                   12);
    }
    FitNameColumn();
    // A reset (which the model falls back to only if kept nodes were reordered) closes the root.
    connect(model, &QAbstractItemModel::modelReset, this, [this] {
        expand(model_->rootIndex());
        fitNames_->start();
    });
    // New, renamed or ended nodes change the widest name: the column follows them.
    connect(model, &QAbstractItemModel::rowsInserted, fitNames_, qOverload<>(&QTimer::start));
    connect(model, &QAbstractItemModel::rowsRemoved, fitNames_, qOverload<>(&QTimer::start));
    connect(model, &QAbstractItemModel::dataChanged, this, [this](const QModelIndex& topLeft) {
        if (topLeft.column() == ProcessTreeModel::kNameColumn) fitNames_->start();
    });
}

void ProcessTreeCtrl::FitNameColumn() {
    // Node names as wide as they are, but the sending rate stays in view beside them: a name
    // longer than that is cut (its tool tip holds it whole) and the other counters are scrolled
    // to. A width the user dragged is left alone.
    if (model_ == nullptr || nameSizedByUser_) return;
    const int usual =
        indentation() * 2 + fontMetrics().horizontalAdvance(QStringLiteral("[99999]firefox-esr"));
    const int room = viewport()->width() - columnWidth(ProcessTreeModel::kSentRateColumn);
    fittingNames_ = true;
    setColumnWidth(
        ProcessTreeModel::kNameColumn,
        std::min(sizeHintForColumn(ProcessTreeModel::kNameColumn), std::max(room, usual)));
    fittingNames_ = false;
}

int ProcessTreeCtrl::WidthForName(int characters) const {
    if (model_ == nullptr) return 0;
    // A process's node lies two indentations in (the root's branch, then its own), and before
    // its text come the check box and the icon, as before the root's.
    const QModelIndex root = model_->rootIndex();
    const int decorations =
        sizeHintForIndex(root).width() - fontMetrics().horizontalAdvance(root.data().toString());
    // 4194304 is the largest process id Linux hands out; twenty n's are wider than most names
    // of twenty characters.
    const int text = fontMetrics().horizontalAdvance(QStringLiteral("[4194304]") +
                                                     QString(characters, QLatin1Char('n')));
    const int scrollBar = style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, this);
    return 2 * frameWidth() + indentation() * 2 + decorations + text + scrollBar;
}

int ProcessTreeCtrl::PreferredWidth() const {
    if (model_ == nullptr) return 0;
    return WidthForName(20) + columnWidth(ProcessTreeModel::kSentRateColumn);
}

int ProcessTreeCtrl::MinimumWidth() const {
    return WidthForName(8);
}

void ProcessTreeCtrl::resizeEvent(QResizeEvent* event) {
    QTreeView::resizeEvent(event);
    fitNames_->start();
}

void ProcessTreeCtrl::OnHeadingClicked(int column) {
    if (model_ == nullptr) return;
    if (column == ProcessTreeModel::kNameColumn) {
        sortColumn_ = -1;
        header()->setSortIndicatorShown(false);
        model_->sort(-1);
        return;
    }
    // The first click puts the largest first; the next ones turn the order round.
    sortOrder_ = column == sortColumn_ && sortOrder_ == Qt::DescendingOrder ? Qt::AscendingOrder
                                                                            : Qt::DescendingOrder;
    sortColumn_ = column;
    header()->setSortIndicator(column, sortOrder_);
    header()->setSortIndicatorShown(true);
    model_->sort(column, sortOrder_);
}

}  // namespace ravelin
