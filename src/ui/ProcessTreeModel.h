#pragma once

#include <QAbstractItemModel>
#include <QHash>
#include <QIcon>
#include <QString>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "attribution/ProcessTree.h"
#include "attribution/ProcessTreeRefreshThread.h"
#include "pipeline/ProcessCounters.h"

namespace ravelin {

/// The item model of the process tree: one top-level item, the root "计算机", with a checkable
/// child per process, newest first.
///
/// Refresh mirrors the tree with the least the view needs to hear: removed rows where
/// processes ended, inserted rows where new ones came, dataChanged where check states changed.
/// The root item is never removed, so the view keeps it expanded and keeps its scroll position;
/// only a reordering of kept nodes, which the tree never does, falls back to a reset.
///
/// A check-box change asks the tree to apply a click, whose rules decide what changes.
///
/// Beside the node text, four columns show what each process sends and receives (the root:
/// traffic without a known owner), re-read at every refresh. Sorting by one of them reorders
/// the processes, and keeps them so at each refresh; sorting by the name column, or by none,
/// brings back the tree's own order.
class ProcessTreeModel : public QAbstractItemModel {
    Q_OBJECT

public:
    /// The process id of an item (0 for the root), as an int.
    static constexpr int kPidRole = Qt::UserRole;
    /// The columns; the counters' are bytes per second over the last two seconds, then bytes
    /// since the last reset.
    enum Column {
        kNameColumn,
        kSentRateColumn,
        kReceivedRateColumn,
        kSentColumn,
        kReceivedColumn,
        kColumnCount
    };

    explicit ProcessTreeModel(ProcessTree& tree, QObject* parent = nullptr);

    QModelIndex index(int row, int column,
                      const QModelIndex& parent = QModelIndex()) const override;
    QModelIndex parent(const QModelIndex& child) const override;
    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role = Qt::EditRole) override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;
    /// Orders the processes by a counter column; kNameColumn or -1: the tree's order.
    void sort(int column, Qt::SortOrder order = Qt::AscendingOrder) override;

    /// Where the counter columns come from; nothing: they stay empty. Must outlive the model.
    void SetCounters(const ProcessCounters* counters);

signals:
    /// A click changed check boxes: what is listed from now on is another selection.
    void checksChanged();

public:
    /// The index of the root item.
    QModelIndex rootIndex() const { return createIndex(0, 0, kRootLevel); }
    /// The tree's node behind an item; nothing for an invalid index.
    std::optional<ProcessTree::NodeId> NodeAt(const QModelIndex& index) const;

public slots:
    /// Re-reads the tree when it changed since the last refresh, and the counters.
    void Refresh();

private:
    // An index's internal id tells its level: the root item, or a process item under it.
    static constexpr quintptr kRootLevel = 0;
    static constexpr quintptr kProcessLevel = 1;

    struct Item {
        ProcessTree::NodeView node;
        QString text;
        QIcon icon;
        std::size_t treeRank = 0;  // the item's place in the tree's own order
        ProcessTraffic traffic;
    };

    Item MakeItem(ProcessTree::NodeView node);
    QIcon IconFor(const std::string& iconKey);
    const Item* ItemAt(const QModelIndex& index) const;
    void Apply(std::vector<ProcessTree::NodeView> nodes);
    void Reset(std::vector<ProcessTree::NodeView> nodes);
    void ReadCounters();
    /// Puts the process items in the order `before` gives, moving the view's indexes along.
    template <typename Before>
    void Reorder(Before before);
    void ReorderAsSorted();
    double SortKey(const Item& item) const;

    ProcessTree& tree_;
    std::uint64_t revision_ = 0;
    Item root_;
    std::vector<Item> children_;   // top to bottom
    QHash<QString, QIcon> icons_;  // by executable file name: many processes share one
    const ProcessCounters* counters_ = nullptr;
    int sortColumn_ = -1;  // -1: the tree's order
    Qt::SortOrder sortOrder_ = Qt::DescendingOrder;
};

/// Refreshes a process tree on a thread of its own every period (ProcessTreeRefreshThread),
/// then has the model re-read it on the model's thread.
class ProcessTreeRefresher {
public:
    /// The tree and the model must outlive the refresher, which waits for a running refresh
    /// when it goes. The model's re-read is posted to the model's thread.
    ProcessTreeRefresher(ProcessTree& tree, ProcessTreeModel& model,
                         std::chrono::milliseconds period)
        : thread_(tree, period, [&model] {
              QMetaObject::invokeMethod(&model, &ProcessTreeModel::Refresh, Qt::QueuedConnection);
          }) {}

private:
    ProcessTreeRefreshThread thread_;
};

}  // namespace ravelin
