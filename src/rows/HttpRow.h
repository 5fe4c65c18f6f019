#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "rows/RowStore.h"

namespace ravelin {

/// One row of the HTTP list: a recognised request.
struct HttpRow {
    static constexpr int kColumnCount = 4;

    std::int32_t packetRow = 0;  ///< item data: index of the packet row that carried it
    std::uint8_t hour = 0;
    std::uint8_t minute = 0;
    std::uint8_t second = 0;
    std::string_view method;  ///< points at a method name of static storage
    std::string_view url;     ///< the store's copy of the URL

    void AttachBytes(std::span<const std::uint8_t> urlBytes) {
        url = {reinterpret_cast<const char*>(urlBytes.data()), urlBytes.size()};
    }
};

/// Appends the text of one column of a stored HTTP row: serial, time, method, URL.
void AppendHttpCellText(const StoredRow<HttpRow>& stored, int column, std::string& out);

}  // namespace ravelin
