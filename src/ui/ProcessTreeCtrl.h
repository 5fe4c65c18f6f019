#pragma once

#include <QTreeView>

namespace ravelin {

class ProcessTreeModel;

/// The process tree's view: check boxes, the nodes' text colours and icons, the root kept open.
class ProcessTreeCtrl : public QTreeView {
    Q_OBJECT

public:
    explicit ProcessTreeCtrl(QWidget* parent = nullptr);

    void SetTreeModel(ProcessTreeModel* model);
    ProcessTreeModel* treeModel() const { return model_; }

private:
    ProcessTreeModel* model_ = nullptr;
};

}  // namespace ravelin
