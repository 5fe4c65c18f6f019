#include "ui/LinkController.h"

#include "analysis/PacketLinker.h"
#include "ui/PacketListCtrl.h"
#include "ui/RowListModel.h"

namespace ravelin {

LinkController::LinkController(CaptureLists& lists, PacketListCtrl& httpList,
                               PacketListCtrl& packetList, StatusSink setStatus, QObject* parent)
    : QObject(parent),
      lists_(lists),
      httpList_(httpList),
      packetList_(packetList),
      setStatus_(std::move(setStatus)) {}

LinkController::~LinkController() {
    if (thread_.joinable()) thread_.join();
}

void LinkController::OnHttpListClick() {
    packetList_.StopFollowing();
    const QList<int> rows = httpList_.SelectedRows();
    if (rows.isEmpty() || linking_) return;
    int startRow = -1;
    lists_.requests.ReadRow(
        rows.first(), [&](const StoredRow<HttpRow>& stored) { startRow = stored.row.packetRow; });
    if (startRow < 0) return;  // row 0 is a packet like any other

    // The list stays enabled, so that it keeps the keyboard (Ctrl+S saves the marks); clicks
    // during a link are ignored above.
    linking_ = true;
    emit linkingChanged(true);
    setStatus_("Linking packets");
    if (thread_.joinable()) thread_.join();  // the last link has finished
    thread_ = std::thread([this, startRow] {
        marks_.RestoreMarks(lists_.packets);
        for (const int row : LinkedRows(lists_.packets, startRow)) {
            marks_.MarkRow(lists_.packets, row, kMarkColour);
        }
        // Should the controller go meanwhile, its destructor waits for this thread and Qt
        // drops the call.
        QMetaObject::invokeMethod(
            this, [this, startRow] { FinishLink(startRow); }, Qt::QueuedConnection);
    });
}

void LinkController::FinishLink(int startRow) {
    RowListModel* model = packetList_.rowModel();
    packetList_.clearSelection();
    model->Refresh();
    const int rows = model->rowCount();
    if (startRow < rows) {
        packetList_.scrollTo(model->index(rows - 1, 0));
        packetList_.scrollTo(model->index(startRow, 0), QAbstractItemView::PositionAtTop);
    }
    RepaintPacketRows();
    emit linked(startRow);
    linking_ = false;
    emit linkingChanged(false);
    setStatus_("Link packets done");
}

void LinkController::OnClearMarks() {
    if (linking_) return;  // the link restores and marks by itself
    marks_.RestoreMarks(lists_.packets);
    RepaintPacketRows();
}

void LinkController::RepaintPacketRows() {
    RowListModel* model = packetList_.rowModel();
    const int rows = model->rowCount();
    if (rows > 0) model->NotifyColoursChanged(0, rows - 1);
}

}  // namespace ravelin
