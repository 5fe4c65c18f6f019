#include "ui/ProcessTreeModel.h"

#include <QApplication>
#include <QColor>
#include <QStyle>

#include <algorithm>
#include <unordered_set>
#include <utility>

#include "ui/QtColours.h"

namespace ravelin {

namespace {

using NodeId = ProcessTree::NodeId;
using NodeView = ProcessTree::NodeView;

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
}

QModelIndex ProcessTreeModel::index(int row, int column, const QModelIndex& parent) const {
    if (column != 0 || row < 0) return {};
    if (!parent.isValid()) return row == 0 ? rootIndex() : QModelIndex();
    if (parent.internalId() != kRootLevel) return {};  // process items have no children
    if (row >= static_cast<int>(children_.size())) return {};
    return createIndex(row, 0, kProcessLevel);
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
    return 1;
}

const ProcessTreeModel::Item* ProcessTreeModel::ItemAt(const QModelIndex& index) const {
    if (!index.isValid() || index.column() != 0) return nullptr;
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
    if (item == nullptr || role != Qt::CheckStateRole) return false;
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
    return Qt::ItemIsUserCheckable | Qt::ItemIsEnabled | Qt::ItemIsSelectable;
}

void ProcessTreeModel::Refresh() {
    const std::uint64_t revision = tree_.revision();
    if (revision == revision_) return;
    // Read before the nodes: a change in between shows up again at the next refresh.
    revision_ = revision;
    Apply(tree_.Nodes());
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

    std::unordered_set<NodeId> newIds;
    for (auto node = nodes.begin() + 1; node != nodes.end(); ++node) newIds.insert(node->id);
    std::unordered_set<NodeId> oldIds;
    for (const Item& item : children_) oldIds.insert(item.node.id);

    // Kept nodes must keep their order for removals and insertions to describe the change.
    std::vector<NodeId> keptOld;
    for (const Item& item : children_) {
        if (newIds.contains(item.node.id)) keptOld.push_back(item.node.id);
    }
    std::vector<NodeId> keptNew;
    for (auto node = nodes.begin() + 1; node != nodes.end(); ++node) {
        if (oldIds.contains(node->id)) keptNew.push_back(node->id);
    }
    if (keptOld != keptNew) {
        Reset(std::move(nodes));
        return;
    }

    // Removals, bottom up so that the rows above keep their numbers; one signal per run.
    for (int last = static_cast<int>(children_.size()) - 1; last >= 0;) {
        if (newIds.contains(children_[static_cast<std::size_t>(last)].node.id)) {
            --last;
            continue;
        }
        int first = last;
        while (first > 0 &&
               !newIds.contains(children_[static_cast<std::size_t>(first - 1)].node.id)) {
            --first;
        }
        beginRemoveRows(root, first, last);
        children_.erase(children_.begin() + first, children_.begin() + last + 1);
        endRemoveRows();
        last = first - 1;
    }

    // Insertions: children_ now holds the kept nodes in the new order, so every node it lacks
    // at a position is a new one. One signal per run.
    const std::size_t newCount = nodes.size() - 1;
    for (std::size_t row = 0; row < newCount;) {
        const NodeView& wanted = nodes[row + 1];
        if (row < children_.size() && children_[row].node.id == wanted.id) {
            ++row;
            continue;
        }
        std::size_t end = row;
        while (end < newCount && !oldIds.contains(nodes[end + 1].id)) ++end;
        if (end == row) {  // cannot happen with the orders checked above; a reset is still right
            Reset(std::move(nodes));
            return;
        }
        std::vector<Item> added;
        added.reserve(end - row);
        for (std::size_t i = row; i < end; ++i) added.push_back(MakeItem(nodes[i + 1]));
        beginInsertRows(root, static_cast<int>(row), static_cast<int>(end) - 1);
        children_.insert(children_.begin() + static_cast<std::ptrdiff_t>(row),
                         std::make_move_iterator(added.begin()),
                         std::make_move_iterator(added.end()));
        endInsertRows();
        row = end;
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

ProcessTreeRefresher::ProcessTreeRefresher(ProcessTree& tree, ProcessTreeModel& model,
                                           std::chrono::milliseconds period)
    : tree_(tree), model_(model), period_(period), thread_([this] { Run(); }) {}

ProcessTreeRefresher::~ProcessTreeRefresher() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void ProcessTreeRefresher::Run() {
    while (true) {
        {
            std::unique_lock lock(mutex_);
            if (wake_.wait_for(lock, period_, [this] { return stopping_; })) return;
        }
        tree_.RefreshProcessTree();
        // Posted: the model goes after the refresher, which the destructor joins first.
        QMetaObject::invokeMethod(&model_, &ProcessTreeModel::Refresh, Qt::QueuedConnection);
    }
}

}  // namespace ravelin
