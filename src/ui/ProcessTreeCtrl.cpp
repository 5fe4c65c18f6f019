#include "ui/ProcessTreeCtrl.h"

#include "ui/ProcessTreeModel.h"

namespace ravelin {

ProcessTreeCtrl::ProcessTreeCtrl(QWidget* parent) : QTreeView(parent) {
    setHeaderHidden(true);
    setRootIsDecorated(true);
    setUniformRowHeights(true);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setSelectionMode(QAbstractItemView::SingleSelection);
}

void ProcessTreeCtrl::SetTreeModel(ProcessTreeModel* model) {
    model_ = model;
    setModel(model);
    expand(model->rootIndex());
    // A reset (which the model falls back to only if kept nodes were reordered) closes the root.
    connect(model, &QAbstractItemModel::modelReset, this, [this] { expand(model_->rootIndex()); });
}

}  // namespace ravelin
