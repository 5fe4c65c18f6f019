#include "decode/TlsClientHello.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/TlsBuilder.h"

namespace ravelin {
namespace {

using test::Bytes;
using test::ClientHelloBuilder;
using test::TlsExtension;

TEST(TlsClientHelloTest, VersionsWithAndWithoutServerName) {
    ClientHelloBuilder tls10;  // TLS 1.0 as old clients sent it: no extensions at all
    tls10.legacyVersion = 0x0301;
    tls10.sessionId.clear();
    tls10.cipherSuites = {0x00, 0x2F, 0x00, 0x35};
    tls10.extensions.reset();
    ClientHelloBuilder tls12;
    tls12.cipherSuites = {0xC0, 0x2F};
    tls12.extensions = {{{0xFF01, {0x00}}, test::ServerNameExtension("www.example.org")}};
    ClientHelloBuilder emptyExtensions;
    emptyExtensions.legacyVersion = 0x0302;
    // A name list whose first entry is of another type: the host name is the first host_name.
    ClientHelloBuilder otherTypeFirst;
    otherTypeFirst.extensions = {
        {{0, {0x00, 0x0B, 0x07, 0x00, 0x02, 'x', 'y', 0x00, 0x00, 0x03, 'a', '.', 'b'}}}};

    const struct {
        const char* what;
        Bytes message;
        std::uint16_t version;
        std::optional<std::string_view> name;
    } cases[] = {
        {"TLS 1.0", tls10.Build(), 0x0301, std::nullopt},
        {"TLS 1.1, empty extensions", emptyExtensions.Build(), 0x0302, std::nullopt},
        {"TLS 1.2", tls12.Build(), 0x0303, "www.example.org"},
        {"TLS 1.3", ClientHelloBuilder::Modern("tls13.test").Build(), 0x0303, "tls13.test"},
        {"TLS 1.3 without a name", ClientHelloBuilder::Modern("").Build(), 0x0303, std::nullopt},
        {"large key share", ClientHelloBuilder::Modern("pq.test", 1250).Build(), 0x0303, "pq.test"},
        {"another name type first", otherTypeFirst.Build(), 0x0303, "a.b"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto hello = ParseClientHello(c.message);
        ASSERT_TRUE(hello);
        EXPECT_EQ(hello->legacyVersion, c.version);
        EXPECT_EQ(hello->serverName, c.name);
    }
}

TEST(TlsClientHelloTest, MalformedMessagesGiveNothing) {
    const Bytes good = ClientHelloBuilder::Modern("example.com").Build();
    ASSERT_TRUE(ParseClientHello(good));

    std::vector<std::pair<std::string, Bytes>> bad;
    // Every truncation and one byte too many.
    for (std::size_t size = 0; size < good.size(); ++size) {
        bad.emplace_back("cut to " + std::to_string(size),
                         Bytes(good.begin(), good.begin() + size));
    }
    Bytes longer = good;
    longer.push_back(0);
    bad.emplace_back("trailing byte", longer);
    Bytes lying = good;
    lying[3] = static_cast<std::uint8_t>(lying[3] - 1);  // the body length one short
    bad.emplace_back("body length short", lying);
    Bytes serverHello = good;
    serverHello[0] = 2;
    bad.emplace_back("server hello", serverHello);

    const auto variant = [&](const char* what, auto change) {
        ClientHelloBuilder builder = ClientHelloBuilder::Modern("example.com");
        change(builder);
        bad.emplace_back(what, builder.Build());
    };
    variant("SSL 2 version", [](ClientHelloBuilder& b) { b.legacyVersion = 0x0200; });
    variant("33-byte session id", [](ClientHelloBuilder& b) { b.sessionId.resize(33); });
    variant("odd cipher suites", [](ClientHelloBuilder& b) { b.cipherSuites.pop_back(); });
    variant("no cipher suites", [](ClientHelloBuilder& b) { b.cipherSuites.clear(); });
    variant("no compression", [](ClientHelloBuilder& b) { b.compressionMethods.clear(); });
    variant("two server names", [](ClientHelloBuilder& b) {
        b.extensions->push_back(test::ServerNameExtension("other.test"));
    });
    variant("empty name list", [](ClientHelloBuilder& b) { (*b.extensions)[0].data = {0, 0}; });
    variant("empty extension", [](ClientHelloBuilder& b) { (*b.extensions)[0].data.clear(); });
    variant("empty host name", [](ClientHelloBuilder& b) {
        (*b.extensions)[0].data = {0, 3, 0, 0, 0};
    });
    variant("name past its list", [](ClientHelloBuilder& b) { (*b.extensions)[0].data[4]++; });
    variant("list short of its extension",
            [](ClientHelloBuilder& b) { (*b.extensions)[0].data[1]--; });
    for (const auto& [what, message] : bad) {
        EXPECT_FALSE(ParseClientHello(message)) << what;
    }
}

TEST(TlsClientHelloTest, RecordsJoinIntoTheFirstMessage) {
    const Bytes message = ClientHelloBuilder::Modern("split.example", 1500).Build();
    std::vector<std::uint8_t> joined;
    for (const std::size_t fragment : {std::size_t{16384}, std::size_t{512}, std::size_t{1}}) {
        SCOPED_TRACE(fragment);
        Bytes stream = test::HandshakeRecords(message, fragment);
        // Each proper prefix asks for more; the whole stream, with anything after it, is complete.
        for (std::size_t size = 0; size < stream.size(); size += 1 + size / 7) {
            EXPECT_EQ(JoinHandshakeRecords(std::span(stream).first(size), joined),
                      RecordsProgress::kIncomplete)
                << size;
        }
        stream.insert(stream.end(), {0x14, 0x03, 0x03, 0x00, 0x01, 0x01});  // change_cipher_spec
        ASSERT_EQ(JoinHandshakeRecords(stream, joined), RecordsProgress::kComplete);
        EXPECT_EQ(joined, message);
        EXPECT_TRUE(MayBeginClientHello(stream));
    }

    // A message ending inside a record, with a second message behind it, is complete there.
    Bytes two = message;
    two.insert(two.end(), {0x10, 0x00, 0x00, 0x01, 0x00});
    ASSERT_EQ(JoinHandshakeRecords(test::HandshakeRecords(two), joined),
              RecordsProgress::kComplete);
    EXPECT_EQ(joined, message);
}

TEST(TlsClientHelloTest, RecordsThatBeginNoClientHelloAreInvalid) {
    const Bytes message = ClientHelloBuilder::Modern("example.com").Build();
    const Bytes stream = test::HandshakeRecords(message, 100);
    std::vector<std::uint8_t> joined;
    const auto changed = [&](std::size_t at, std::uint8_t value) {
        Bytes copy = stream;
        copy[at] = value;
        return copy;
    };
    const Bytes invalid[] = {
        changed(0, 0x17),                                   // application data
        changed(1, 0x02),                                   // SSL 2 record version
        changed(2, 0x05),                                   // no such TLS version
        changed(5, 0x02),                                   // a ServerHello
        changed(105, 0x15),                                 // an alert as second record
        test::HandshakeRecords(Bytes(20000, 0x01), 16384),  // message length of 65793
        Bytes{0x16, 0x03, 0x01, 0x40, 0x01},                // record of 16385 bytes
        Bytes{0x16, 0x03, 0x03, 0x00, 0x04, 0x02, 0x00},    // a ServerHello's first bytes
    };
    for (const Bytes& bytes : invalid) {
        EXPECT_EQ(JoinHandshakeRecords(bytes, joined), RecordsProgress::kInvalid);
    }
    EXPECT_EQ(JoinHandshakeRecords(changed(4, 0x00), joined), RecordsProgress::kInvalid);

    // The largest message still allowed joins; one byte more is refused.
    ClientHelloBuilder largest = ClientHelloBuilder::Modern("big.test");
    const std::size_t size = largest.Build().size();
    (*largest.extensions)
        .back()
        .data.resize((*largest.extensions).back().data.size() + kMaximumHandshakeMessage - size);
    Bytes biggest = largest.Build();
    ASSERT_EQ(biggest.size(), kMaximumHandshakeMessage);
    EXPECT_EQ(JoinHandshakeRecords(test::HandshakeRecords(biggest, 4000), joined),
              RecordsProgress::kComplete);
    (*largest.extensions).back().data.push_back(0);
    EXPECT_EQ(JoinHandshakeRecords(test::HandshakeRecords(largest.Build(), 4000), joined),
              RecordsProgress::kInvalid);

    EXPECT_TRUE(MayBeginClientHello(Bytes{0x16}));
    EXPECT_TRUE(MayBeginClientHello(Bytes{0x16, 0x03, 0x01}));
    EXPECT_FALSE(MayBeginClientHello(Bytes{0x16, 0x02}));
    EXPECT_FALSE(MayBeginClientHello(Bytes{}));
    EXPECT_FALSE(MayBeginClientHello(changed(5, 0x0B)));
    EXPECT_FALSE(MayBeginClientHello(Bytes{'G', 'E', 'T', ' '}));
}

}  // namespace
}  // namespace ravelin
