#include "rows/HttpRow.h"

#include "decode/TextForms.h"

namespace ravelin {

void AppendHttpCellText(const StoredRow<HttpRow>& stored, int column, std::string& out) {
    const HttpRow& row = stored.row;
    switch (column) {
        case 0:
            out += DecimalText(stored.serial).view();
            break;
        case 1:
            out += TimeText(row.hour, row.minute, row.second).view();
            break;
        case 2:
            out += row.method;
            break;
        case 3:
            out += row.url;
            break;
        default:
            break;
    }
}

}  // namespace ravelin
