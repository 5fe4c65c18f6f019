#pragma once

#include <QTreeView>

class QTimer;

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

    /// The width that shows a process's id and a name of 20 characters whole beside its
    /// sending rate, in the tree's fonts and style. 0 before a model is set.
    int PreferredWidth() const;
    /// The least width that still shows a process's id and a short name.
    int MinimumWidth() const;

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void OnHeadingClicked(int column);
    void FitNameColumn();
    /// The tree's width for a node of the longest process id and `characters` more, without
    /// the columns beside the names.
    int WidthForName(int characters) const;

    ProcessTreeModel* model_ = nullptr;
    int sortColumn_ = -1;  // -1: the tree's own order
    Qt::SortOrder sortOrder_ = Qt::DescendingOrder;
    QTimer* fitNames_ = nullptr;  // coalesces the model's changes into one fit
    bool fittingNames_ = false;
    bool nameSizedByUser_ = false;
};

}  // namespace ravelin
