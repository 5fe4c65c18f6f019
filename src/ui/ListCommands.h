#pragma once

#include <QObject>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "base/CheckCall.h"
#include "rows/CaptureLists.h"

class QKeySequence;
class QMenu;
class QPoint;

namespace ravelin {

class LinkController;
class PacketListCtrl;

/// The copy and save commands of the HTTP and packet lists, as actions. Each list carries its
/// own: Ctrl+C and Ctrl+S reach them while that list has the focus, and its context menu shows
/// the same actions. Only the left Ctrl key counts: while the right one is down, the actions do
/// nothing.
class ListCommands : public QObject {
    Q_OBJECT

public:
    using AddressText = std::function<std::string()>;

    /// Everything given must outlive the commands. `boundAddressText` tells the address being
    /// listened on, which decides the remote side of a packet; `reporter` shows save failures.
    ListCommands(CaptureLists& lists, PacketListCtrl& httpList, PacketListCtrl& packetList,
                 LinkController& link, AddressText boundAddressText, ErrorReporter& reporter,
                 QObject* parent = nullptr);

    /// The lists' context menus.
    QMenu* httpMenu() const { return httpMenu_; }
    QMenu* packetMenu() const { return packetMenu_; }

public slots:
    /// The URLs of the selected HTTP rows, one a line, to the clipboard.
    void OnCopyUrl();
    /// The first selected packet row with its payload as text and as hex to the clipboard.
    void OnCopyAll();
    /// The far side's address of the first selected packet row to the clipboard.
    void OnCopyRemoteAddress();
    /// The far side's address and port of the first selected packet row to the clipboard.
    void OnCopyRemoteEndpoint();
    /// The payloads of the selected packet rows to a file that the user chooses.
    void OnSaveSelected();
    /// The payloads of the rows that the last link marked to a file that the user chooses.
    void OnSaveMarked();

protected:
    /// Follows the right Ctrl key, wherever in the program it goes down or up.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void AddCommand(PacketListCtrl& list, QMenu* menu, const char* text,
                    const QKeySequence& shortcut, std::function<void()> handler);
    void ShowMenu(PacketListCtrl& list, QMenu* menu, const QPoint& position);
    std::optional<StoredRow<PacketRow>> FirstSelectedPacket();
    void SaveRows(const std::vector<int>& rows);

    CaptureLists& lists_;
    PacketListCtrl& httpList_;
    PacketListCtrl& packetList_;
    LinkController& link_;
    AddressText boundAddressText_;
    ErrorReporter& reporter_;
    // Owned by the lists.
    QMenu* httpMenu_;
    QMenu* packetMenu_;
    bool rightControlDown_ = false;
};

}  // namespace ravelin
