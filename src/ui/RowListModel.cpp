#include "ui/RowListModel.h"

#include <QColor>
#include <QTimer>

#include <algorithm>
#include <tuple>

#include "ui/QtColours.h"

namespace ravelin {

RowListModel::RowListModel(const std::vector<ListColumn>& columns, QObject* parent)
    : QAbstractTableModel(parent), columnCount_(static_cast<int>(columns.size())) {
    headings_.reserve(columnCount_);
    for (const ListColumn& column : columns) headings_.append(QString::fromUtf8(column.heading));
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

    const int place = ReadRow(index.row());
    if (place < 0) return {};
    if (role == Qt::DisplayRole) {
        const std::size_t cell =
            static_cast<std::size_t>(place) * static_cast<std::size_t>(columnCount_) +
            static_cast<std::size_t>(index.column());
        const std::uint32_t begin = cell == 0 ? 0 : read_.ends[cell - 1];
        return QString::fromUtf8(read_.text.data() + begin,
                                 static_cast<qsizetype>(read_.ends[cell] - begin));
    }
    const Colour colour = read_.colours[static_cast<std::size_t>(place)];
    if (colour == kNoColour) return {};
    return ToQColor(colour);
}

int RowListModel::ReadRow(int row) const {
    if (row < readFirst_ || row >= readFirst_ + readAsked_) {
        ForgetRows();
        readFirst_ = row;
        readAsked_ = std::min(kRowsPerRead, shownRows_ - row);
        readHeld_ = ReadRows(row, readAsked_, read_);
        // Kept for the rest of this event only: the next paint reads colours that a link set
        // meanwhile, as it would without the block.
        if (!forgetQueued_) {
            forgetQueued_ = true;
            QTimer::singleShot(0, this, [this] {
                forgetQueued_ = false;
                ForgetRows();
            });
        }
    }
    const int place = row - readFirst_;
    return place < readHeld_ ? place : -1;
}

void RowListModel::ForgetRows() const {
    read_.text.clear();
    read_.ends.clear();
    read_.colours.clear();
    readFirst_ = 0;
    readAsked_ = 0;
    readHeld_ = 0;
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
    ForgetRows();
    emit dataChanged(index(firstRow, 0), index(lastRow, columnCount_ - 1), {Qt::BackgroundRole});
}

bool RowListModel::Refresh(int maximumRows) {
    ForgetRows();
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

// The bytes of a packet row's preview: the start of its payload.
std::size_t PreviewLength(const StoredRow<PacketRow>& stored) {
    return std::min<std::size_t>(stored.row.record.length, PacketRow::kPreviewBytes);
}

// One read of the spool for a block's previews stays below this many bytes.
constexpr std::uint64_t kLargestRead = std::uint64_t{1} << 20;

}  // namespace

template <typename Row>
StoreListModel<Row>::StoreListModel(const RowStore<Row>& store, QObject* parent)
    : RowListModel(RowTraits<Row>::Columns(), parent), store_(store) {
    AdoptStore();
}

template <typename Row>
int StoreListModel<Row>::ReadRows(int first, int count, RowTexts& out) const {
    // An HTTP row's texts are short: they are copied under the store's lock, which keeps the
    // URL's bytes alive.
    return store_.ReadRows(first, count, [&](int, const StoredRow<Row>& stored) {
        for (int column = 0; column < Row::kColumnCount; ++column) {
            RowTraits<Row>::AppendText(stored, column, out.text);
            out.ends.push_back(static_cast<std::uint32_t>(out.text.size()));
        }
        out.colours.push_back(stored.colour);
    });
}

template class StoreListModel<HttpRow>;

PacketListModel::PacketListModel(const CaptureLists& lists, QObject* parent)
    : RowListModel(PacketListColumns(), parent), lists_(lists) {
    AdoptStore();
}

int PacketListModel::ReadRows(int first, int count, RowTexts& out) const {
    // The spool's generation is read before the rows: a clear in between makes the spool
    // refuse the read instead of giving another generation's bytes.
    const std::uint64_t generation = lists_.spool->generation();
    rows_.clear();
    lists_.packets.ReadRows(
        first, count, [&](int, const StoredRow<PacketRow>& stored) { rows_.push_back(stored); });
    if (rows_.empty() || !ReadPreviews(generation)) return 0;
    // Formatted outside every lock.
    for (std::size_t row = 0; row < rows_.size(); ++row) {
        const StoredRow<PacketRow>& stored = rows_[row];
        const std::span<const std::uint8_t> preview(payloads_.data() + previewAt_[row],
                                                    PreviewLength(stored));
        for (int column = 0; column < PacketRow::kColumnCount; ++column) {
            // Only the data column shows the payload.
            AppendPacketCellText(
                stored, column == kPacketDataColumn ? preview : std::span<const std::uint8_t>(),
                column, out.text, lists_.addresses);
            out.ends.push_back(static_cast<std::uint32_t>(out.text.size()));
        }
        out.colours.push_back(stored.colour);
    }
    return static_cast<int>(rows_.size());
}

bool PacketListModel::ReadPreviews(std::uint64_t generation) const {
    previewAt_.clear();
    const std::uint64_t start = rows_.front().row.record.payloadOffset();
    std::uint64_t end = start;
    bool inOrder = true;
    for (const StoredRow<PacketRow>& stored : rows_) {
        const std::uint64_t offset = stored.row.record.payloadOffset();
        inOrder = inOrder && offset >= start;
        end = std::max(end, offset + PreviewLength(stored));
    }
    // Listed packets lie one after the other in the spool: one read takes all the previews,
    // unless the frames between them are large.
    if (inOrder && end - start <= kLargestRead) {
        if (!lists_.spool->Read(start, static_cast<std::size_t>(end - start), generation,
                                payloads_)) {
            return false;
        }
        for (const StoredRow<PacketRow>& stored : rows_) {
            previewAt_.push_back(
                static_cast<std::size_t>(stored.row.record.payloadOffset() - start));
        }
        return true;
    }
    payloads_.clear();
    for (const StoredRow<PacketRow>& stored : rows_) {
        if (!lists_.spool->Read(stored.row.record.payloadOffset(), PreviewLength(stored),
                                generation, preview_)) {
            return false;
        }
        previewAt_.push_back(payloads_.size());
        payloads_.insert(payloads_.end(), preview_.begin(), preview_.end());
    }
    return true;
}

}  // namespace ravelin
