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
    RowListModel(const std::vector<ListColumn>& columns, QObject* parent);

    /// The store's row count and generation, read together.
    virtual std::pair<int, std::uint64_t> StoreSnapshot() const = 0;
    /// Appends the text of one cell to `out` and sets `colour` (kNoColour for none); false when
    /// the store no longer holds the row.
    virtual bool ReadCell(int row, int column, std::string& out, Colour& colour) const = 0;

    /// Called by the derived constructor once its store is reachable.
    void AdoptStore();

private:
    QStringList headings_;
    int columnCount_ = 0;
    int shownRows_ = 0;
    std::uint64_t shownGeneration_ = 0;
    // Reused by data() so that reading a cell allocates nothing but the returned QString.
    mutable std::string cellText_;
};

/// The model of a list of `Row`s: PacketRow or HttpRow.
template <typename Row>
class StoreListModel final : public RowListModel {
public:
    explicit StoreListModel(const RowStore<Row>& store, QObject* parent = nullptr);

protected:
    std::pair<int, std::uint64_t> StoreSnapshot() const override { return store_.Snapshot(); }
    bool ReadCell(int row, int column, std::string& out, Colour& colour) const override;

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
    bool ReadCell(int row, int column, std::string& out, Colour& colour) const override;

private:
    const CaptureLists& lists_;
    mutable std::vector<std::uint8_t> preview_;
};

}  // namespace ravelin
