#include "ui/ProcessTreeCtrl.h"

#include <QHeaderView>

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
}

void ProcessTreeCtrl::SetTreeModel(ProcessTreeModel* model) {
    model_ = model;
    setModel(model);
    expand(model->rootIndex());
    // Room for a process node of usual length; the counters follow, scrolled to if need be.
    setColumnWidth(
        ProcessTreeModel::kNameColumn,
        indentation() * 2 + fontMetrics().horizontalAdvance(QStringLiteral("[99999]firefox-esr")));
    for (int column = ProcessTreeModel::kSentRateColumn; column < ProcessTreeModel::kColumnCount;
         ++column) {
        header()->setSectionResizeMode(column, QHeaderView::ResizeToContents);
    }
    // A reset (which the model falls back to only if kept nodes were reordered) closes the root.
    connect(model, &QAbstractItemModel::modelReset, this, [this] { expand(model_->rootIndex()); });
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
