#pragma once

#include <QAbstractTableModel>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "rows/CaptureLists.h"
#include "rows/HttpRow.h"
#include "rows/PacketRow.h"
#include "rows/RowStore.h"
#include "ui/ListColumns.h"

namespace ravelin {

/// A table model over one RowStore, for a list that grows by a thousand rows a second.
///
/// The view learns about new rows only in Refresh (the owner calls it on a timer, about every
/// 50 ms): the rows appended since the last one arrive as one insertion, and a store that was
/// cleared meanwhile resets the model. Between refreshes the model keeps showing the rows it
/// announced; one that a clear took away reads as empty until the reset comes.
///
/// A paint asks for every visible cell several times (text, colours, font...). The model reads
/// the rows it is asked for in blocks, each under one hold of the store's lock (and one read of
/// the payload spool), and keeps them until the event that asked for them is over, or until a
/// refresh or a change of colours. The capture thread that appends rows takes the same locks
/// for every packet: a lock taken per cell and role had the window's thread wait for it
/// hundreds of times a paint.
///
/// Lives on the window's thread; only the store is shared with other threads.
class RowListModel : public QAbstractTableModel {
    Q_OBJECT

public:
    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

    /// Tells the view that rows [firstRow, lastRow] changed colour (rows beyond those shown
    /// are left out: they bring their colour when they are inserted).
    void NotifyColoursChanged(int firstRow, int lastRow);

public slots:
    /// Brings the view up to the store: one insertion for the rows appended since the last
    /// refresh (at most `maximumRows` of them), or a reset when the store was cleared. True
    /// when rows are left for another refresh.
    bool Refresh(int maximumRows = std::numeric_limits<int>::max());

protected:
    /// Rows read from a store: the text of every cell, row after row, and each row's colour.
    struct RowTexts {
        std::string text;                 // the cells' UTF-8 texts, one after another
        std::vector<std::uint32_t> ends;  // where each cell's text ends in `text`
        std::vector<Colour> colours;      // one per row; kNoColour for none
    };

    RowListModel(const std::vector<ListColumn>& columns, QObject* parent);

    /// The store's row count and generation, read together.
    virtual std::pair<int, std::uint64_t> StoreSnapshot() const = 0;
    /// Appends the cells and colours of rows [first, first + count) to `out`, as few locks
    /// taken as can be. Returns how many rows it appended: fewer than `count` when a clear took
    /// rows away.
    virtual int ReadRows(int first, int count, RowTexts& out) const = 0;

    /// Called by the derived constructor once its store is reachable.
    void AdoptStore();

private:
    /// Rows read at once: more than a tall list shows.
    static constexpr int kRowsPerRead = 64;

    /// `row`'s place among the rows read, after reading the block that starts at it where it
    /// is not there; -1 for a row that the store no longer holds.
    int ReadRow(int row) const;
    void ForgetRows() const;

    QStringList headings_;
    int columnCount_ = 0;
    int shownRows_ = 0;
    std::uint64_t shownGeneration_ = 0;
    // The block of rows read last, [readFirst_, readFirst_ + readAsked_), of which the store
    // still held the first readHeld_.
    mutable RowTexts read_;
    mutable int readFirst_ = 0;
    mutable int readAsked_ = 0;
    mutable int readHeld_ = 0;
    mutable bool forgetQueued_ = false;
};

/// The model of a list of `Row`s: PacketRow or HttpRow.
template <typename Row>
class StoreListModel final : public RowListModel {
public:
    explicit StoreListModel(const RowStore<Row>& store, QObject* parent = nullptr);

protected:
    std::pair<int, std::uint64_t> StoreSnapshot() const override { return store_.Snapshot(); }
    int ReadRows(int first, int count, RowTexts& out) const override;

private:
    const RowStore<Row>& store_;
};

extern template class StoreListModel<HttpRow>;

using HttpListModel = StoreListModel<HttpRow>;

/// The model of the packet list: rows from the packet store, the data column's preview from
/// the payload spool.
class PacketListModel final : public RowListModel {
public:
    explicit PacketListModel(const CaptureLists& lists, QObject* parent = nullptr);

protected:
    std::pair<int, std::uint64_t> StoreSnapshot() const override {
        return lists_.packets.Snapshot();
    }
    int ReadRows(int first, int count, RowTexts& out) const override;

private:
    /// Reads the previews of rows_ from the spool into payloads_, each row's at previewAt_;
    /// false when the spool was emptied since `generation`.
    bool ReadPreviews(std::uint64_t generation) const;

    const CaptureLists& lists_;
    // Reused by ReadRows.
    mutable std::vector<StoredRow<PacketRow>> rows_;
    mutable std::vector<std::uint8_t> payloads_;
    mutable std::vector<std::uint8_t> preview_;
    mutable std::vector<std::size_t> previewAt_;
};

}  // namespace ravelin
