#include "ui/PayloadPanes.h"

#include <vector>

namespace ravelin {

PayloadPanes::PayloadPanes(QWidget& window, const CaptureLists& lists)
    : lists_(lists),
      text_(new DataEdit(DataEdit::Kind::kText, &window)),
      hex_(new DataEdit(DataEdit::Kind::kHex, &window)) {
    text_->SetPartner(hex_);
    hex_->SetPartner(text_);
}

void PayloadPanes::ShowPacket(int row) {
    std::vector<std::uint8_t> payload;
    lists_.packets.ReadRow(row, [&](const StoredRow<PacketRow>& stored) {
        const auto bytes = stored.row.record.payload();
        payload.assign(bytes.begin(), bytes.end());
    });
    text_->ShowBytes(payload);
    hex_->ShowBytes(payload);
}

void PayloadPanes::Clear() {
    text_->ShowBytes({});
    hex_->ShowBytes({});
}

}  // namespace ravelin
