#pragma once

#include <QTest>
#include <QWidget>

#include <arpa/inet.h>

#include <string_view>

#include "rows/CaptureLists.h"
#include "support/TestSpool.h"
#include "ui/PacketListCtrl.h"
#include "ui/RowListModel.h"

namespace ravelin::test {

/// A left click on a row of a list, as the user makes it.
inline void ClickRow(PacketListCtrl* list, int row, Qt::KeyboardModifiers modifiers = {}) {
    const QRect cell = list->visualRect(list->model()->index(row, 1));
    QTest::mouseClick(list->viewport(), Qt::LeftButton, modifiers, cell.center());
}

/// Both lists of a capture in a window of their own. Packet rows 1 to 3 are one HTTP exchange
/// between 10.0.0.2:40000 (this host) and 10.0.0.9:80: the request, the answer and the rest of
/// the answer; row 0 belongs to another connection and row 4 is the client's bare ack. HTTP row
/// 0 is the request of packet row 1, HTTP row 1 one of packet row 4.
class ListsWindow {
public:
    ListsWindow() {
        AddPacket(false, 40001, 900, 999, false, "");
        AddPacket(true, 40000, 100, 500, true, "GET /a HTTP/1.1\r\n\r\n");
        AddPacket(false, 40000, 500, 120, false, "HTTP/1.1 200 OK\r\n\r\n");
        AddPacket(false, 40000, 519, 120, true, std::string_view("bo\0dy", 5));
        AddPacket(true, 40000, 120, 524, false, "");
        AddRequest(1, "http://h/a");
        AddRequest(4, "http://h/b");
        httpModel.Refresh();
        packetModel.Refresh();
        window.resize(800, 400);
        httpList->setGeometry(0, 0, 800, 150);
        packetList->setGeometry(0, 160, 800, 240);
        httpList->SetRowModel(&httpModel, HttpListColumns());
        packetList->SetRowModel(&packetModel, PacketListColumns());
    }

    /// Shows the window and waits until it has the keyboard.
    bool Show() {
        window.show();
        window.activateWindow();
        return QTest::qWaitForWindowActive(&window);
    }

    CaptureLists lists{MakeTestSpool()};
    QWidget window;
    PacketListCtrl* httpList = new PacketListCtrl(&window);
    PacketListCtrl* packetList = new PacketListCtrl(&window);
    HttpListModel httpModel{lists.requests};
    PacketListModel packetModel{lists};

private:
    void AddPacket(bool sent, std::uint16_t localPort, std::uint32_t sequence, std::uint32_t ack,
                   bool push, std::string_view payload) {
        PacketRow row;
        row.protocol = 6;  // TCP
        row.hasPorts = true;
        row.sourceAddress = htonl(sent ? 0x0A000002 : 0x0A000009);
        row.destinationAddress = htonl(sent ? 0x0A000009 : 0x0A000002);
        row.sourcePort = sent ? localPort : 80;
        row.destinationPort = sent ? 80 : localPort;
        row.dataLength = static_cast<std::uint16_t>(payload.size());
        row.record.sequenceNumber = sequence;
        row.record.ackNumber = ack;
        row.record.pshFlag = push;
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(payload.data());
        AddTestPacket(lists, row, {bytes, payload.size()}, sent ? kSentColour : kReceivedColour);
    }

    void AddRequest(int packetRow, std::string_view url) {
        HttpRow row;
        row.packetRow = packetRow;
        row.method = "GET";
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(url.data());
        lists.requests.InsertRow(row, {bytes, url.size()});
    }
};

}  // namespace ravelin::test
