// The floor for replaying a capture file: libpcap's pcap_next_ex over every record, touching
// each frame's first byte so that the bytes are really read, and nothing else. Ravelin's
// headless replay is measured against this loop over the same file (bench/replay_floor.sh).
#include <pcap/pcap.h>

#include <cstdint>
#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 2) {
        static_cast<void>(std::fprintf(stderr, "usage: %s FILE\n", argv[0]));
        return 2;
    }
    char error[PCAP_ERRBUF_SIZE] = {};
    pcap_t* file = pcap_open_offline(argv[1], error);
    if (file == nullptr) {
        static_cast<void>(std::fprintf(stderr, "%s\n", error));
        return 1;
    }
    pcap_pkthdr* header = nullptr;
    const u_char* bytes = nullptr;
    std::uint64_t packets = 0;
    std::uint64_t captured = 0;
    unsigned touched = 0;
    int status = 0;
    while ((status = pcap_next_ex(file, &header, &bytes)) == 1) {
        ++packets;
        captured += header->caplen;
        touched += header->caplen != 0 ? bytes[0] : 0U;
    }
    pcap_close(file);
    static_cast<void>(std::printf("packets=%llu bytes=%llu touched=%u\n",
                                  static_cast<unsigned long long>(packets),
                                  static_cast<unsigned long long>(captured), touched));
    return status == PCAP_ERROR_BREAK ? 0 : 1;  // the end of a file is a "break"
}
