#pragma once

#include <QPlainTextEdit>

#include <cstdint>
#include <span>
#include <vector>

namespace ravelin {

/// One of the two panes that show a packet's payload: as text, or as hex. A selection dragged
/// with the mouse in one pane is mirrored, byte for byte, in its partner.
///
/// The text pane shows valid UTF-8 sequences as their characters and every other byte as one
/// character of its own (zero bytes as spaces), so that each character maps to known payload
/// bytes; the hex pane shows three characters per byte.
class DataEdit : public QPlainTextEdit {
    Q_OBJECT

public:
    enum class Kind { kText, kHex };

    DataEdit(Kind kind, QWidget* parent = nullptr);

    void SetPartner(DataEdit* partner) { partner_ = partner; }
    /// Shows these payload bytes; none empties the pane.
    void ShowBytes(std::span<const std::uint8_t> payload);

    /// Selects the characters of payload bytes [firstByte, lastByte] and takes the focus.
    void SyncSelection(int firstByte, int lastByte);

    /// The payload byte at a character position of this pane.
    int ByteAt(int position) const;
    /// The first character position of a payload byte in this pane.
    int PositionOf(int byte) const;

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

private:
    void SendSelection();

    Kind kind_;
    DataEdit* partner_ = nullptr;
    bool dragging_ = false;
    int lastSelStart_ = 0;
    int lastSelEnd_ = 0;
    // Text pane: the payload byte where each character (UTF-16 unit) starts, and where each
    // byte's character starts.
    std::vector<int> byteOfPosition_;
    std::vector<int> positionOfByte_;
};

}  // namespace ravelin
