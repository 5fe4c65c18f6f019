#include "ui/ProcessTreeModel.h"

#include <QApplication>
#include <QColor>
#include <QStyle>

#include <algorithm>
#include <unordered_map>
#include <utility>

#include "base/ListEdits.h"
#include "decode/TextForms.h"
#include "ui/QtColours.h"

namespace ravelin {

namespace {

using NodeId = ProcessTree::NodeId;
using NodeView = ProcessTree::NodeView;

bool SameCounts(const ProcessTraffic& a, const ProcessTraffic& b) {
    return a.sent == b.sent && a.received == b.received && a.sentPerSecond == b.sentPerSecond &&
           a.receivedPerSecond == b.receivedPerSecond;
}

bool SameLook(const NodeView& a, const NodeView& b) {
    return a.checked == b.checked && a.textColour == b.textColour && a.text == b.text &&
           a.iconKey == b.iconKey && a.pid == b.pid;
}

}  // namespace

ProcessTreeModel::ProcessTreeModel(ProcessTree& tree, QObject* parent)
    : QAbstractItemModel(parent), tree_(tree) {
    root_.icon = QApplication::style()->standardIcon(QStyle::SP_ComputerIcon);
    revision_ = tree_.revision();
    Reset(tree_.Nodes());
    for (std::size_t row = 0; row < children_.size(); ++row) children_[row].treeRank = row;
}

QModelIndex ProcessTreeModel::index(int row, int column, const QModelIndex& parent) const {
    if (column < 0 || column >= kColumnCount || row < 0) return {};
    if (!parent.isValid()) return row == 0 ? createIndex(0, column, kRootLevel) : QModelIndex();
    // Process items have no children; only the first column holds them.
    if (parent.internalId() != kRootLevel || parent.column() != 0) return {};
    if (row >= static_cast<int>(children_.size())) return {};
    return createIndex(row, column, kProcessLevel);
}

QModelIndex ProcessTreeModel::parent(const QModelIndex& child) const {
    if (!child.isValid() || child.internalId() != kProcessLevel) return {};
    return rootIndex();
}

int ProcessTreeModel::rowCount(const QModelIndex& parent) const {
    if (!parent.isValid()) return 1;
    if (parent.column() != 0 || parent.internalId() != kRootLevel) return 0;
    return static_cast<int>(children_.size());
}

int ProcessTreeModel::columnCount(const QModelIndex&) const {
    return kColumnCount;
}

const ProcessTreeModel::Item* ProcessTreeModel::ItemAt(const QModelIndex& index) const {
    if (!index.isValid() || index.model() != this) return nullptr;
    if (index.internalId() == kRootLevel) return index.row() == 0 ? &root_ : nullptr;
    if (index.row() < 0 || index.row() >= static_cast<int>(children_.size())) return nullptr;
    return &children_[static_cast<std::size_t>(index.row())];
}

std::optional<ProcessTree::NodeId> ProcessTreeModel::NodeAt(const QModelIndex& index) const {
    const Item* item = ItemAt(index);
    if (item == nullptr) return std::nullopt;
    return item->node.id;
}

QVariant ProcessTreeModel::data(const QModelIndex& index, int role) const {
    const Item* item = ItemAt(index);
    if (item == nullptr) return {};
    if (index.column() != kNameColumn) {
        const ProcessTraffic& traffic = item->traffic;
        switch (role) {
            case Qt::DisplayRole:
                switch (index.column()) {
                    case kSentRateColumn:
                        return QString::fromStdString(ByteCountText(traffic.sentPerSecond) + "/s");
                    case kReceivedRateColumn:
                        return QString::fromStdString(ByteCountText(traffic.receivedPerSecond) +
                                                      "/s");
                    case kSentColumn:
                        return QString::fromStdString(
                            ByteCountText(static_cast<double>(traffic.sent.bytes)));
                    default:
                        return QString::fromStdString(
                            ByteCountText(static_cast<double>(traffic.received.bytes)));
                }
            case Qt::ToolTipRole:  // the exact counts behind the rounded ones
                return QString::fromUtf8("发送 %1 包 %2 字节, 接收 %3 包 %4 字节")
                    .arg(traffic.sent.packets)
                    .arg(traffic.sent.bytes)
                    .arg(traffic.received.packets)
                    .arg(traffic.received.bytes);
            case Qt::TextAlignmentRole:
                return QVariant::fromValue(Qt::AlignRight | Qt::AlignVCenter);
            case Qt::ForegroundRole:
                if (!item->node.textColour) return {};
                return ToQColor(*item->node.textColour);
            default:
                return {};
        }
    }
    switch (role) {
        case Qt::DisplayRole:
        case Qt::ToolTipRole:  // the whole text where the pane cuts it
            return item->text;
        case Qt::CheckStateRole:
            return item->node.checked ? Qt::Checked : Qt::Unchecked;
        case Qt::DecorationRole:
            return item->icon;
        case Qt::ForegroundRole:
            if (!item->node.textColour) return {};
            return ToQColor(*item->node.textColour);
        case kPidRole:
            return item->node.pid;
        default:
            return {};
    }
}

bool ProcessTreeModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    const Item* item = ItemAt(index);
    if (item == nullptr || role != Qt::CheckStateRole || index.column() != kNameColumn) {
        return false;
    }
    const NodeId id = item->node.id;
    const bool wanted = value.toInt() == Qt::Checked;
    // The tree's own state counts, not the one last shown: a click toggles it, and a request for
    // the state it already has must not turn it around.
    bool applied = false;
    if (tree_.IsChecked(id) != wanted) {
        const std::uint64_t before = tree_.revision();
        tree_.OnTreeClick(id);
        applied = tree_.revision() != before;  // the tree ignores a node that has gone
    }
    Refresh();
    if (applied) emit checksChanged();
    return applied;
}

Qt::ItemFlags ProcessTreeModel::flags(const QModelIndex& index) const {
    if (ItemAt(index) == nullptr) return Qt::NoItemFlags;
    if (index.column() != kNameColumn) return Qt::ItemIsEnabled | Qt::ItemIsSelectable;
    return Qt::ItemIsUserCheckable | Qt::ItemIsEnabled | Qt::ItemIsSelectable;
}

QVariant ProcessTreeModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || section < 0 || section >= kColumnCount) return {};
    if (role == Qt::InitialSortOrderRole) {
        // Who sends or receives the most is what a first click asks.
        return section == kNameColumn ? Qt::AscendingOrder : Qt::DescendingOrder;
    }
    if (role == Qt::TextAlignmentRole && section != kNameColumn) {
        return QVariant::fromValue(Qt::AlignRight | Qt::AlignVCenter);
    }
    if (role != Qt::DisplayRole) return {};
    static constexpr const char* kHeadings[kColumnCount] = {"进程", "发送速率", "接收速率",
                                                            "已发送", "已接收"};
    return QString::fromUtf8(kHeadings[section]);
}

void ProcessTreeModel::SetCounters(const ProcessCounters* counters) {
    counters_ = counters;
    ReadCounters();
    ReorderAsSorted();
}

void ProcessTreeModel::sort(int column, Qt::SortOrder order) {
    sortColumn_ = column > kNameColumn && column < kColumnCount ? column : -1;
    sortOrder_ = order;
    ReorderAsSorted();
}

double ProcessTreeModel::SortKey(const Item& item) const {
    switch (sortColumn_) {
        case kSentRateColumn:
            return item.traffic.sentPerSecond;
        case kReceivedRateColumn:
            return item.traffic.receivedPerSecond;
        case kSentColumn:
            return static_cast<double>(item.traffic.sent.bytes);
        case kReceivedColumn:
            return static_cast<double>(item.traffic.received.bytes);
        default:
            return 0;
    }
}

void ProcessTreeModel::ReorderAsSorted() {
    if (sortColumn_ < 0) {
        Reorder([](const Item& a, const Item& b) { return a.treeRank < b.treeRank; });
        return;
    }
    const bool descending = sortOrder_ == Qt::DescendingOrder;
    // Equal keys keep the tree's order, so that rows do not swap places for nothing.
    Reorder([this, descending](const Item& a, const Item& b) {
        const double keyA = SortKey(a);
        const double keyB = SortKey(b);
        if (keyA != keyB) return descending ? keyA > keyB : keyA < keyB;
        return a.treeRank < b.treeRank;
    });
}

template <typename Before>
void ProcessTreeModel::Reorder(Before before) {
    if (std::is_sorted(children_.begin(), children_.end(), before)) return;
    const QPersistentModelIndex root = rootIndex();
    emit layoutAboutToBeChanged({root}, QAbstractItemModel::VerticalSortHint);
    const QModelIndexList persistent = persistentIndexList();
    std::vector<NodeId> persistentIds;
    persistentIds.reserve(static_cast<std::size_t>(persistent.size()));
    for (const QModelIndex& index : persistent) {
        const Item* item = index.internalId() == kProcessLevel ? ItemAt(index) : nullptr;
        persistentIds.push_back(item != nullptr ? item->node.id : ProcessTree::kRootNode);
    }
    std::stable_sort(children_.begin(), children_.end(), before);
    std::unordered_map<NodeId, int> rowOf;
    for (std::size_t row = 0; row < children_.size(); ++row) {
        rowOf.emplace(children_[row].node.id, static_cast<int>(row));
    }
    QModelIndexList moved;
    moved.reserve(persistent.size());
    for (qsizetype i = 0; i < persistent.size(); ++i) {
        const QModelIndex& index = persistent[i];
        const auto found = rowOf.find(persistentIds[static_cast<std::size_t>(i)]);
        if (index.internalId() != kProcessLevel || found == rowOf.end()) {
            moved.push_back(index);
        } else {
            moved.push_back(createIndex(found->second, index.column(), kProcessLevel));
        }
    }
    changePersistentIndexList(persistent, moved);
    emit layoutChanged({root}, QAbstractItemModel::VerticalSortHint);
}

void ProcessTreeModel::ReadCounters() {
    std::unordered_map<int, ProcessTraffic> byPid;
    if (counters_ != nullptr) {
        for (ProcessTraffic& traffic : counters_->Snapshot()) {
            byPid.emplace(traffic.pid, std::move(traffic));
        }
    }
    const auto update = [&](Item& item, int pid) {
        const auto found = byPid.find(pid);
        const ProcessTraffic traffic = found != byPid.end() ? found->second : ProcessTraffic{};
        if (SameCounts(item.traffic, traffic)) return false;
        item.traffic = traffic;
        return true;
    };
    // The root stands for the traffic without a known owner.
    if (update(root_, -1)) {
        emit dataChanged(index(0, kSentRateColumn), index(0, kReceivedColumn));
    }
    int first = -1;
    int last = -1;
    for (std::size_t row = 0; row < children_.size(); ++row) {
        if (!update(children_[row], children_[row].node.pid)) continue;
        if (first < 0) first = static_cast<int>(row);
        last = static_cast<int>(row);
    }
    if (first >= 0) {
        emit dataChanged(index(first, kSentRateColumn, rootIndex()),
                         index(last, kReceivedColumn, rootIndex()));
    }
}

void ProcessTreeModel::Refresh() {
    const std::uint64_t revision = tree_.revision();
    if (revision != revision_) {
        // Read before the nodes: a change in between shows up again at the next refresh.
        revision_ = revision;
        // The changes are worked out against the tree's order; sorting comes back after.
        const int sortColumn = std::exchange(sortColumn_, -1);
        ReorderAsSorted();
        sortColumn_ = sortColumn;
        Apply(tree_.Nodes());
        for (std::size_t row = 0; row < children_.size(); ++row) children_[row].treeRank = row;
    }
    ReadCounters();
    ReorderAsSorted();
}

QIcon ProcessTreeModel::IconFor(const std::string& iconKey) {
    const std::size_t slash = iconKey.rfind('/');
    const std::string_view fileName = slash == std::string::npos
                                          ? std::string_view(iconKey)
                                          : std::string_view(iconKey).substr(slash + 1);
    const QString name =
        QString::fromUtf8(fileName.data(), static_cast<qsizetype>(fileName.size()));
    if (const auto cached = icons_.constFind(name); cached != icons_.constEnd()) {
        return cached.value();
    }
    QIcon icon = name.isEmpty() ? QIcon() : QIcon::fromTheme(name);
    if (icon.isNull()) {
        icon = QIcon::fromTheme(QStringLiteral("application-x-executable"),
                                QApplication::style()->standardIcon(QStyle::SP_FileIcon));
    }
    icons_.insert(name, icon);
    return icon;
}

ProcessTreeModel::Item ProcessTreeModel::MakeItem(NodeView node) {
    Item item;
    item.text = QString::fromStdString(node.text);
    item.icon = IconFor(node.iconKey);
    item.node = std::move(node);
    return item;
}

void ProcessTreeModel::Reset(std::vector<NodeView> nodes) {
    beginResetModel();
    children_.clear();
    if (!nodes.empty()) {
        root_.node = std::move(nodes.front());
        root_.text = QString::fromStdString(root_.node.text);
        children_.reserve(nodes.size() - 1);
        for (auto node = nodes.begin() + 1; node != nodes.end(); ++node) {
            children_.push_back(MakeItem(std::move(*node)));
        }
    }
    endResetModel();
}

void ProcessTreeModel::Apply(std::vector<NodeView> nodes) {
    if (nodes.empty()) return;  // the tree always has its root
    const QModelIndex root = rootIndex();

    std::vector<NodeId> before;
    for (const Item& item : children_) before.push_back(item.node.id);
    std::vector<NodeId> after;
    for (auto node = nodes.begin() + 1; node != nodes.end(); ++node) after.push_back(node->id);
    const ListEdits edits = ListEditsBetween(before, after);
    if (edits.reordered) {
        Reset(std::move(nodes));
        return;
    }

    // One signal per run: removals bottom up, then insertions top down.
    for (const PositionRun& run : edits.removals) {
        const auto first = static_cast<int>(run.first);
        const int last = first + static_cast<int>(run.count) - 1;
        beginRemoveRows(root, first, last);
        children_.erase(children_.begin() + first, children_.begin() + last + 1);
        endRemoveRows();
    }
    for (const PositionRun& run : edits.insertions) {
        std::vector<Item> added;
        added.reserve(run.count);
        for (std::size_t i = 0; i < run.count; ++i)
            added.push_back(MakeItem(nodes[run.first + i + 1]));
        const auto first = static_cast<int>(run.first);
        beginInsertRows(root, first, first + static_cast<int>(run.count) - 1);
        children_.insert(children_.begin() + first, std::make_move_iterator(added.begin()),
                         std::make_move_iterator(added.end()));
        endInsertRows();
    }

    // Changed looks (check states), one signal per run of changed rows.
    if (!SameLook(root_.node, nodes.front())) {
        root_.node = std::move(nodes.front());
        root_.text = QString::fromStdString(root_.node.text);
        emit dataChanged(root, root);
    }
    int runStart = -1;
    for (std::size_t row = 0; row <= children_.size(); ++row) {
        const bool changed =
            row < children_.size() && !SameLook(children_[row].node, nodes[row + 1]);
        if (changed) {
            Item& item = children_[row];
            if (item.node.text != nodes[row + 1].text) {
                item.text = QString::fromStdString(nodes[row + 1].text);
            }
            if (item.node.iconKey != nodes[row + 1].iconKey) {
                item.icon = IconFor(nodes[row + 1].iconKey);
            }
            item.node = std::move(nodes[row + 1]);
            if (runStart < 0) runStart = static_cast<int>(row);
        } else if (runStart >= 0) {
            emit dataChanged(index(runStart, 0, root), index(static_cast<int>(row) - 1, 0, root));
            runStart = -1;
        }
    }
}

}  // namespace ravelin
