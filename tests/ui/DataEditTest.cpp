#include "ui/DataEdit.h"

#include <QTest>
#include <QTextCursor>

#include <string>
#include <vector>

#include "support/qt/GuiTest.h"

namespace ravelin {
namespace {

std::vector<std::uint8_t> Bytes(std::string_view text) {
    return {text.begin(), text.end()};
}

QString Selected(const DataEdit& pane) {
    return pane.textCursor().selectedText();
}

}  // namespace

class DataEditTest : public QObject {
    Q_OBJECT

private slots:
    void showsTextWithZeroBytesAsSpacesAndHexInGroupsOfThree() {
        DataEdit text(DataEdit::Kind::kText);
        DataEdit hex(DataEdit::Kind::kHex);
        const auto payload = Bytes(std::string_view("GET /\0x", 7));
        text.ShowBytes(payload);
        hex.ShowBytes(payload);
        QCOMPARE(text.toPlainText(), QStringLiteral("GET / x"));
        QCOMPARE(hex.toPlainText(), QStringLiteral("47 45 54 20 2F 00 78 "));
        text.ShowBytes({});
        QCOMPARE(text.toPlainText(), QString());
    }

    void charactersMapToTheBytesTheyCameFrom() {
        DataEdit text(DataEdit::Kind::kText);
        // 'a', U+00E9 as two bytes, a byte that is no UTF-8, U+1F600 as four bytes, 'b'.
        const std::vector<std::uint8_t> payload = {'a',  0xC3, 0xA9, 0xFF, 0xF0,
                                                   0x9F, 0x98, 0x80, 'b'};
        text.ShowBytes(payload);
        QCOMPARE(text.toPlainText(), QString::fromUtf8("a\xC3\xA9\xC3\xBF\xF0\x9F\x98\x80"
                                                       "b"));
        QCOMPARE(text.ByteAt(0), 0);
        QCOMPARE(text.ByteAt(1), 1);
        QCOMPARE(text.ByteAt(2), 3);
        QCOMPARE(text.ByteAt(3), 4);  // the emoji takes two UTF-16 units
        QCOMPARE(text.ByteAt(5), 8);
        QCOMPARE(text.PositionOf(2), 1);  // the second byte of U+00E9 lies in its character
        QCOMPARE(text.PositionOf(7), 3);
        QCOMPARE(text.PositionOf(8), 5);

        // Overlong and surrogate forms are no UTF-8: each byte stands for itself.
        text.ShowBytes(std::vector<std::uint8_t>{0xC0, 0x80, 0xED, 0xA0, 0x80});
        QCOMPARE(text.toPlainText().size(), 5);
    }

    void selectionsMirrorByteForByte() {
        DataEdit text(DataEdit::Kind::kText);
        DataEdit hex(DataEdit::Kind::kHex);
        text.SetPartner(&hex);
        hex.SetPartner(&text);
        const auto payload = Bytes("ABCDEFGHIJKLMNOPQRS");  // 19 bytes: the hex wraps once
        text.ShowBytes(payload);
        hex.ShowBytes(payload);

        // A drag in the hex pane from character 4 to 8 covers bytes 1 and 2.
        text.SyncSelection(hex.ByteAt(4), hex.ByteAt(8));
        QCOMPARE(text.textCursor().selectionStart(), 1);
        QCOMPARE(text.textCursor().selectionEnd(), 2);
        QCOMPARE(Selected(text), QStringLiteral("B"));
        // A drag in the text pane from 1 to 2 selects characters 3 to 6 of the hex pane.
        hex.SyncSelection(text.ByteAt(1), text.ByteAt(2));
        QCOMPARE(hex.textCursor().selectionStart(), 3);
        QCOMPARE(hex.textCursor().selectionEnd(), 6);
        QCOMPARE(Selected(hex), QStringLiteral("42 "));
        // Past the line feed after the 16th byte the groups still line up.
        hex.SyncSelection(16, 18);
        QCOMPARE(Selected(hex), QStringLiteral("51 52 "));
    }

    void lineBreaksOfThePayloadKeepTheMapping() {
        DataEdit text(DataEdit::Kind::kText);
        DataEdit hex(DataEdit::Kind::kHex);
        const auto payload = Bytes("GET / HTTP/1.1\r\nHost: h\r\n");
        text.ShowBytes(payload);
        hex.ShowBytes(payload);
        // Bytes 16 to 20 are "Host:" in both panes.
        text.SyncSelection(16, 20);
        QCOMPARE(Selected(text), QStringLiteral("Host"));
        hex.SyncSelection(16, 20);
        QCOMPARE(Selected(hex), QStringLiteral("48 6F 73 74 "));
    }
};

}  // namespace ravelin

RAVELIN_GUI_TEST(DataEditTest)
#include "DataEditTest.moc"
