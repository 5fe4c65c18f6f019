#include "ui/DataEdit.h"

#include <QMouseEvent>
#include <QTextCursor>

#include "decode/TextForms.h"
#include "output/HexDump.h"
#include "ui/Fonts.h"

namespace ravelin {

namespace {

constexpr int kHexUnitWidth = 3;

}  // namespace

DataEdit::DataEdit(Kind kind, QWidget* parent) : QPlainTextEdit(parent), kind_(kind) {
    setReadOnly(true);
    setLineWrapMode(QPlainTextEdit::WidgetWidth);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setUndoRedoEnabled(false);
    // The selection stays visible after the focus moves to the partner pane.
    QPalette colours = palette();
    colours.setColor(QPalette::Inactive, QPalette::Highlight,
                     colours.color(QPalette::Active, QPalette::Highlight));
    colours.setColor(QPalette::Inactive, QPalette::HighlightedText,
                     colours.color(QPalette::Active, QPalette::HighlightedText));
    setPalette(colours);
    if (kind == Kind::kHex) {
        // Sixteen groups of three characters make a line; a fixed-pitch font keeps them in
        // columns and lets a line fit the pane's 310 pixels.
        QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
        fixed.setStyleHint(QFont::Monospace);
        fixed.setPixelSize(10);
        setFont(fixed);  // hex digits only: no fallback is ever needed
    } else {
        setFont(WithoutFallbacks(font()));
    }
}

void DataEdit::ShowBytes(std::span<const std::uint8_t> payload) {
    byteOfPosition_.clear();
    positionOfByte_.assign(payload.size(), 0);
    if (kind_ == Kind::kHex) {
        setPlainText(QString::fromLatin1(HexDump(payload)));
        return;
    }
    QString text;
    text.reserve(static_cast<qsizetype>(payload.size()));
    for (std::size_t at = 0; at < payload.size();) {
        const int position = static_cast<int>(text.size());
        int consumed = 0;
        if (payload[at] == '\r' && at + 1 < payload.size() && payload[at + 1] == '\n') {
            // The document keeps CR LF as one line break: one character for both bytes.
            text.append(QLatin1Char('\n'));
            consumed = 2;
        } else {
            // Valid UTF-8 as its character, any other byte as itself, zero as a space.
            const PayloadChar next = NextPayloadChar(payload.subspan(at));
            text.append(QString::fromUcs4(&next.codePoint, 1));
            consumed = static_cast<int>(next.byteCount);
        }
        for (int i = 0; i < consumed; ++i)
            positionOfByte_[at + static_cast<std::size_t>(i)] = position;
        while (static_cast<int>(byteOfPosition_.size()) < static_cast<int>(text.size())) {
            byteOfPosition_.push_back(static_cast<int>(at));
        }
        at += static_cast<std::size_t>(consumed);
    }
    setPlainText(text);
}

int DataEdit::ByteAt(int position) const {
    if (kind_ == Kind::kHex) return position / kHexUnitWidth;
    if (byteOfPosition_.empty()) return 0;
    if (position >= static_cast<int>(byteOfPosition_.size())) {
        return static_cast<int>(positionOfByte_.size());
    }
    return byteOfPosition_[static_cast<std::size_t>(std::max(position, 0))];
}

int DataEdit::PositionOf(int byte) const {
    if (kind_ == Kind::kHex) return byte * kHexUnitWidth;
    if (byte >= static_cast<int>(positionOfByte_.size())) {
        return static_cast<int>(byteOfPosition_.size());
    }
    return positionOfByte_[static_cast<std::size_t>(std::max(byte, 0))];
}

void DataEdit::SyncSelection(int firstByte, int lastByte) {
    setFocus();
    QTextCursor cursor = textCursor();
    const int end = static_cast<int>(document()->characterCount()) - 1;
    cursor.setPosition(std::clamp(PositionOf(firstByte), 0, std::max(end, 0)));
    cursor.setPosition(std::clamp(PositionOf(lastByte), 0, std::max(end, 0)),
                       QTextCursor::KeepAnchor);
    setTextCursor(cursor);
    ensureCursorVisible();
}

void DataEdit::SendSelection() {
    if (partner_ == nullptr) return;
    const QTextCursor cursor = textCursor();
    partner_->SyncSelection(ByteAt(cursor.selectionStart()), ByteAt(cursor.selectionEnd()));
}

void DataEdit::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) dragging_ = true;
    QPlainTextEdit::mousePressEvent(event);
}

void DataEdit::mouseMoveEvent(QMouseEvent* event) {
    if (dragging_) {
        const QTextCursor cursor = textCursor();
        if (cursor.selectionStart() != lastSelStart_ || cursor.selectionEnd() != lastSelEnd_) {
            lastSelStart_ = cursor.selectionStart();
            lastSelEnd_ = cursor.selectionEnd();
            SendSelection();
            setFocus();  // the drag goes on in this pane
        }
    }
    QPlainTextEdit::mouseMoveEvent(event);
}

void DataEdit::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton && dragging_) {
        dragging_ = false;
        QPlainTextEdit::mouseReleaseEvent(event);
        SendSelection();
        return;
    }
    QPlainTextEdit::mouseReleaseEvent(event);
}

void DataEdit::focusOutEvent(QFocusEvent* event) {
    // Swallowed: the pane keeps showing its selection while its partner has the focus.
    event->accept();
}

}  // namespace ravelin
