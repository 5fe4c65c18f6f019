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
    if (!lists_.ReadPacket(row, kWholePayload, payload,
                           [](const StoredRow<PacketRow>&, std::span<const std::uint8_t>) {})) {
        payload.clear();
    }
    text_->ShowBytes(payload);
    hex_->ShowBytes(payload);
}

void PayloadPanes::Clear() {
    text_->ShowBytes({});
    hex_->ShowBytes({});
}

}  // namespace ravelin
