// The floor for replaying a capture file: libpcap's pcap_next_ex over every record, touching
// each frame's first byte so that the bytes are really read, and nothing else. Ravelin's
// headless replay is measured against this loop over the same file (bench/replay_floor.py).
//
//   ravelin_bare_pcap_loop FILE [SPOOL [ROW_BYTES]]
//
// Given SPOOL, the loop also appends every frame to that file through a 256 KiB buffer, as
// Ravelin keeps each listed frame on disk, and removes the file at the end: the floor of a
// replay that keeps the payloads. Given ROW_BYTES as well, it also keeps that many bytes of
// every packet in memory, as a list keeps a row per packet: the floor of a replay that lists.
#include <fcntl.h>
#include <pcap/pcap.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "base/LargePages.h"

namespace {

bool WriteAll(int fd, const std::vector<unsigned char>& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t written = write(fd, bytes.data() + done, bytes.size() - done);
        if (written <= 0) return false;
        done += static_cast<std::size_t>(written);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 4) {
        static_cast<void>(std::fprintf(stderr, "usage: %s FILE [SPOOL [ROW_BYTES]]\n", argv[0]));
        return 2;
    }
    char error[PCAP_ERRBUF_SIZE] = {};
    pcap_t* file = pcap_open_offline(argv[1], error);
    if (file == nullptr) {
        static_cast<void>(std::fprintf(stderr, "%s\n", error));
        return 1;
    }
    int spool = -1;
    if (argc >= 3) {
        spool = open(argv[2], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (spool < 0) {
            std::perror(argv[2]);
            return 1;
        }
    }
    // Rows are kept in chunks that are never moved, each a large page provided at once, as the
    // row stores keep theirs.
    const std::size_t rowBytes = argc == 4 ? std::strtoul(argv[3], nullptr, 10) : 0;
    const std::size_t rowsPerChunk =
        ravelin::large_pages::kPageBytes / std::max<std::size_t>(rowBytes, 1);
    std::vector<unsigned char*> rows;
    std::size_t rowsInChunk = rowsPerChunk;
    constexpr std::size_t kBufferBytes = std::size_t{256} << 10;
    std::vector<unsigned char> buffer;
    buffer.reserve(kBufferBytes + 65536);
    pcap_pkthdr* header = nullptr;
    const u_char* bytes = nullptr;
    std::uint64_t packets = 0;
    std::uint64_t captured = 0;
    unsigned touched = 0;
    int status = 0;
    bool written = true;
    while ((status = pcap_next_ex(file, &header, &bytes)) == 1) {
        ++packets;
        captured += header->caplen;
        touched += header->caplen != 0 ? bytes[0] : 0U;
        if (rowBytes != 0) {
            if (rowsInChunk == rowsPerChunk) {
                rows.push_back(static_cast<unsigned char*>(
                    ravelin::large_pages::Map(rowBytes * rowsPerChunk)));
                rowsInChunk = 0;
            }
            unsigned char* row = rows.back() + rowBytes * rowsInChunk++;
            std::memcpy(row, header, std::min(rowBytes, sizeof *header));
            if (rowBytes > sizeof *header)
                std::memset(row + sizeof *header, 0, rowBytes - sizeof *header);
        }
        if (spool >= 0) {
            buffer.insert(buffer.end(), bytes, bytes + header->caplen);
            if (buffer.size() >= kBufferBytes) {
                written = written && WriteAll(spool, buffer);
                buffer.clear();
            }
        }
    }
    pcap_close(file);
    if (spool >= 0) {
        written = written && WriteAll(spool, buffer);
        close(spool);
        unlink(argv[2]);
        if (!written) {
            static_cast<void>(std::fprintf(stderr, "%s: %s\n", argv[2], std::strerror(errno)));
            return 1;
        }
    }
    static_cast<void>(std::printf(
        "packets=%llu bytes=%llu touched=%u rows=%zu\n", static_cast<unsigned long long>(packets),
        static_cast<unsigned long long>(captured), touched, rows.size() * rowsPerChunk));
    return status == PCAP_ERROR_BREAK ? 0 : 1;  // the end of a file is a "break"
}
