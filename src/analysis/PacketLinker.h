#pragma once

#include <vector>

#include "rows/PacketRow.h"
#include "rows/RowStore.h"

namespace ravelin {

/// The packet rows that belong with `startRow` as one request and its answer, in the order they
/// are marked: the start row first, then the rest of the request (later rows with its ack
/// number, up to the first that carries PSH, skipped when the start row carries PSH itself),
/// then the first answer segment (the next row with data whose sequence number is the
/// request's ack number) and the later rows that acknowledge what that segment acknowledges.
/// Only the rows present when the call starts are looked at; each index appears once.
/// A negative start row gives nothing; a start row without a record gives just itself.
std::vector<int> LinkedRows(const RowStore<PacketRow>& packets, int startRow);

}  // namespace ravelin
