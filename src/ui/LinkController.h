#pragma once

#include <QObject>

#include <functional>
#include <string_view>
#include <thread>

#include "analysis/PacketMarks.h"
#include "rows/CaptureLists.h"

namespace ravelin {

class PacketListCtrl;

/// Links packets: a click on an HTTP row marks, on a thread of its own, the packet rows of that
/// request and its answer, then brings the request's packet to the top of the packet list. Owns
/// the marks, which stay until the next link or until they are cleared.
class LinkController : public QObject {
    Q_OBJECT

public:
    using StatusSink = std::function<void(std::string_view)>;

    /// The lists and both list widgets must outlive the controller; `setStatus` shows the
    /// state texts ("Linking packets", "Link packets done").
    LinkController(CaptureLists& lists, PacketListCtrl& httpList, PacketListCtrl& packetList,
                   StatusSink setStatus, QObject* parent = nullptr);
    /// Waits for a running link, which paints rows of the lists.
    ~LinkController() override;

    /// From a link's start until it has finished on the window's thread.
    bool linking() const { return linking_; }
    /// The rows that the last link marked, with their colours from before.
    const PacketMarks& marks() const { return marks_; }
    /// Forgets the marks without painting, for after the lists were cleared.
    void ForgetMarks() { marks_.Forget(); }

public slots:
    /// Stops the packet list following, then links from the packet of the first selected HTTP
    /// row, unless a link runs.
    void OnHttpListClick();
    /// Gives the marked rows their colours back and forgets them.
    void OnClearMarks();

signals:
    /// True as a link starts, false once it has finished.
    void linkingChanged(bool linking);
    /// A link has finished; `row` is the request's packet.
    void linked(int row);

private:
    void FinishLink(int startRow);
    void RepaintPacketRows();

    CaptureLists& lists_;
    PacketListCtrl& httpList_;
    PacketListCtrl& packetList_;
    StatusSink setStatus_;
    PacketMarks marks_;
    std::thread thread_;
    bool linking_ = false;
};

}  // namespace ravelin
