#include "ui/RowListModel.h"

#include <QColor>

#include <tuple>

#include "ui/QtColours.h"

namespace ravelin {

RowListModel::RowListModel(const std::vector<ListColumn>& columns, QObject* parent)
    : QAbstractTableModel(parent), columnCount_(static_cast<int>(columns.size())) {
    headings_.reserve(columnCount_);
    for (const ListColumn& column : columns) headings_.append(QString::fromUtf8(column.heading));
    cellText_.reserve(256);  // the longest preview and then some
}

void RowListModel::AdoptStore() {
    std::tie(shownRows_, shownGeneration_) = StoreSnapshot();
}

int RowListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : shownRows_;
}

int RowListModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : columnCount_;
}

QVariant RowListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= shownRows_ || index.column() >= columnCount_) {
        return {};
    }
    // Every row colour is light: the text on it is dark in any theme.
    if (role == Qt::ForegroundRole) return DarkText();
    if (role != Qt::DisplayRole && role != Qt::BackgroundRole) return {};

    cellText_.clear();
    Colour colour = kNoColour;
    // The background needs no text: column -1 appends nothing.
    const int column = role == Qt::DisplayRole ? index.column() : -1;
    if (!ReadCell(index.row(), column, cellText_, colour)) return {};

    if (role == Qt::DisplayRole) {
        return QString::fromUtf8(cellText_.data(), static_cast<qsizetype>(cellText_.size()));
    }
    if (colour == kNoColour) return {};
    return ToQColor(colour);
}

QVariant RowListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
    if (section < 0 || section >= columnCount_) return {};
    return headings_[section];
}

void RowListModel::NotifyColoursChanged(int firstRow, int lastRow) {
    if (firstRow < 0) firstRow = 0;
    if (lastRow >= shownRows_) lastRow = shownRows_ - 1;
    if (firstRow > lastRow || columnCount_ == 0) return;
    emit dataChanged(index(firstRow, 0), index(lastRow, columnCount_ - 1), {Qt::BackgroundRole});
}

bool RowListModel::Refresh(int maximumRows) {
    const auto [count, generation] = StoreSnapshot();
    // Rows only ever grow within a generation; fewer rows in the same generation cannot happen,
    // but a reset is the safe answer to anything but growth.
    if (generation != shownGeneration_ || count < shownRows_) {
        beginResetModel();
        shownRows_ = count;
        shownGeneration_ = generation;
        endResetModel();
    } else if (count > shownRows_) {
        const int last =
            count - shownRows_ > maximumRows ? shownRows_ + maximumRows - 1 : count - 1;
        beginInsertRows(QModelIndex(), shownRows_, last);
        shownRows_ = last + 1;
        endInsertRows();
    }
    return shownRows_ < count;
}

namespace {

template <typename Row>
struct RowTraits;

template <>
struct RowTraits<HttpRow> {
    static const std::vector<ListColumn>& Columns() { return HttpListColumns(); }
    static void AppendText(const StoredRow<HttpRow>& stored, int column, std::string& out) {
        AppendHttpCellText(stored, column, out);
    }
};

}  // namespace

template <typename Row>
StoreListModel<Row>::StoreListModel(const RowStore<Row>& store, QObject* parent)
    : RowListModel(RowTraits<Row>::Columns(), parent), store_(store) {
    AdoptStore();
}

template <typename Row>
bool StoreListModel<Row>::ReadCell(int row, int column, std::string& out, Colour& colour) const {
    return store_.ReadRow(row, [&](const StoredRow<Row>& stored) {
        colour = stored.colour;
        if (column >= 0) RowTraits<Row>::AppendText(stored, column, out);
    });
}

template class StoreListModel<HttpRow>;

PacketListModel::PacketListModel(const CaptureLists& lists, QObject* parent)
    : RowListModel(PacketListColumns(), parent), lists_(lists) {
    AdoptStore();
}

bool PacketListModel::ReadCell(int row, int column, std::string& out, Colour& colour) const {
    // Only the data column needs the payload; the other columns are in the row itself.
    const std::size_t wanted = column == kPacketDataColumn ? PacketRow::kPreviewBytes : 0;
    return lists_.ReadPacket(
        row, wanted, preview_,
        [&](const StoredRow<PacketRow>& stored, std::span<const std::uint8_t> payload) {
            colour = stored.colour;
            if (column >= 0) AppendPacketCellText(stored, payload, column, out, lists_.addresses);
        });
}

}  // namespace ravelin
