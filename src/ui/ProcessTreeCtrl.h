#pragma once

#include <QTreeView>

namespace ravelin {

class ProcessTreeModel;

/// The process tree's view: check boxes, the nodes' text colours and icons, the root kept open;
/// the traffic columns, sorted by a click on their heading.
class ProcessTreeCtrl : public QTreeView {
    Q_OBJECT

public:
    explicit ProcessTreeCtrl(QWidget* parent = nullptr);

    void SetTreeModel(ProcessTreeModel* model);
    ProcessTreeModel* treeModel() const { return model_; }

private:
    void OnHeadingClicked(int column);

    ProcessTreeModel* model_ = nullptr;
    int sortColumn_ = -1;  // -1: the tree's own order
    Qt::SortOrder sortOrder_ = Qt::DescendingOrder;
};

}  // namespace ravelin
