#include "ui/ListColumns.h"

#include "analysis/HttpRequestParser.h"
#include "decode/IpHeader.h"

namespace ravelin {

namespace {

QString LongestMethod() {
    QString longest;
    for (const std::string_view method : HttpRequestParser::kMethods) {
        if (static_cast<qsizetype>(method.size()) > longest.size()) {
            longest = QString::fromLatin1(method.data(), static_cast<qsizetype>(method.size()));
        }
    }
    return longest;
}

QString LongestProtocol() {
    QString longest;
    for (int number = 0; number < 256; ++number) {
        const std::string_view name = ProtocolName(static_cast<std::uint8_t>(number));
        if (static_cast<qsizetype>(name.size()) > longest.size()) {
            longest = QString::fromLatin1(name.data(), static_cast<qsizetype>(name.size()));
        }
    }
    return longest;
}

// Serials of seven digits, the latest time of day, the longest address and port.
const QString kLongestSerial = QStringLiteral("0000000");
const QString kLongestTime = QStringLiteral("23:59:59");
const QString kLongestAddress = QStringLiteral("255.255.255.255");
const QString kLongestNumber = QStringLiteral("65535");

}  // namespace

const std::vector<ListColumn>& PacketListColumns() {
    static const std::vector<ListColumn> columns = {{"#", 40, kLongestSerial},
                                                    {"时间", 60, kLongestTime},
                                                    {"协议", 50, LongestProtocol()},
                                                    {"源IP", 110, kLongestAddress},
                                                    {"源端口", 60, kLongestNumber},
                                                    {"目标IP", 110, kLongestAddress},
                                                    {"目标端口", 60, kLongestNumber},
                                                    {"数据长度", 60, kLongestNumber},
                                                    {"数据", 1, QString()}};
    return columns;
}

const std::vector<ListColumn>& HttpListColumns() {
    static const std::vector<ListColumn> columns = {{"#", 40, kLongestSerial},
                                                    {"时间", 60, kLongestTime},
                                                    {"协议", 50, LongestMethod()},
                                                    {"地址", 1, QString()}};
    return columns;
}

}  // namespace ravelin
