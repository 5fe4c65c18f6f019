#include "ui/DataEdit.h"

#include <QMouseEvent>
#include <QTextCursor>

#include "output/HexDump.h"
#include "ui/Fonts.h"

namespace ravelin {

namespace {

constexpr int kHexUnitWidth = 3;

// Length of the valid UTF-8 sequence at the start of `bytes`, or 0 when it is not one.
int Utf8SequenceLength(std::span<const std::uint8_t> bytes, char32_t& codePoint) {
    const std::uint8_t lead = bytes[0];
    int length = 0;
    char32_t value = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        value = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        value = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        value = lead & 0x07;
    } else {
        return 0;
    }
    if (bytes.size() < static_cast<std::size_t>(length)) return 0;
    for (int i = 1; i < length; ++i) {
        if ((bytes[i] & 0xC0) != 0x80) return 0;
        value = (value << 6) | (bytes[i] & 0x3F);
    }
    // Overlong forms, surrogates and values beyond Unicode are not valid UTF-8.
    if ((length == 3 && value < 0x800) || (length == 4 && (value < 0x10000 || value > 0x10FFFF)) ||
        (value >= 0xD800 && value <= 0xDFFF)) {
        return 0;
    }
    codePoint = value;
    return length;
}

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
        char32_t codePoint = 0;
        int consumed = Utf8SequenceLength(payload.subspan(at), codePoint);
        const int position = static_cast<int>(text.size());
        if (consumed > 0) {
            text.append(QString::fromUcs4(&codePoint, 1));
        } else if (payload[at] == '\r' && at + 1 < payload.size() && payload[at + 1] == '\n') {
            // The document keeps CR LF as one line break: one character for both bytes.
            text.append(QLatin1Char('\n'));
            consumed = 2;
        } else {
            // A byte that is no UTF-8 stands for itself; a zero byte shows as a space.
            codePoint = payload[at] == 0 ? U' ' : static_cast<char32_t>(payload[at]);
            text.append(QChar(static_cast<char16_t>(codePoint)));
            consumed = 1;
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
