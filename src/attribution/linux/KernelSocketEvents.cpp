#include "attribution/linux/KernelSocketEvents.h"

#include <bpf/bpf.h>
#include <bpf/libbpf.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

#include "attribution/linux/EffectiveCapabilities.h"
#include "attribution/linux/MountTable.h"
#include "attribution/linux/SocketEventRecord.h"
#include "base/CheckCall.h"
#include "base/UniqueFd.h"
#include "socket_events.skel.h"

namespace ravelin {

namespace {

constexpr const char* kKernelBtf = "/sys/kernel/btf/vmlinux";
constexpr const char* kNoPermission =
    "no permission to load eBPF programs (needs CAP_BPF, CAP_PERFMON and CAP_NET_ADMIN)";

// libbpf writes its diagnostics to standard error, including for refusals that Load turns into
// a reason; RAVELIN_LIBBPF_LOG=1 shows them for a developer.
int LibbpfPrint(libbpf_print_level level, const char* format, va_list arguments) {
    const char* wanted = std::getenv("RAVELIN_LIBBPF_LOG");  // NOLINT(concurrency-mt-unsafe)
    if (wanted == nullptr || (level == LIBBPF_DEBUG && std::strcmp(wanted, "debug") != 0)) {
        return 0;
    }
    return std::vfprintf(stderr, format, arguments);
}

bool MayLoad() {
    // The kernel lets CAP_SYS_ADMIN stand in for each of the others.
    return HasEffectiveCapabilities({CAP_SYS_ADMIN}) ||
           HasEffectiveCapabilities({CAP_BPF, CAP_PERFMON, CAP_NET_ADMIN});
}

std::string Refused(const char* what, int error) {
    if ((error == EPERM || error == EACCES) && !MayLoad()) return kNoPermission;
    return std::string(what) + " (" + SystemError::FromErrno(error).reason + ")";
}

bool IsCgroupProgram(const bpf_program* program) {
    switch (bpf_program__type(program)) {
        case BPF_PROG_TYPE_SOCK_OPS:
        case BPF_PROG_TYPE_CGROUP_SOCK:
        case BPF_PROG_TYPE_CGROUP_SOCK_ADDR:
            return true;
        default:
            return false;
    }
}

}  // namespace

void KernelSocketEvents::SkeletonDeleter::operator()(socket_events* skeleton) const {
    socket_events__destroy(skeleton);
}

void KernelSocketEvents::LinkDeleter::operator()(bpf_link* link) const {
    bpf_link__destroy(link);
}

void KernelSocketEvents::RingBufferDeleter::operator()(ring_buffer* buffer) const {
    ring_buffer__free(buffer);
}

KernelSocketEvents::KernelSocketEvents(Token) {}

KernelSocketEvents::~KernelSocketEvents() = default;

KernelSocketEvents::Loaded KernelSocketEvents::Load() {
    if (access(kKernelBtf, R_OK) != 0) return {nullptr, "kernel has no BTF"};

    std::ifstream mountsFile("/proc/self/mounts");
    const std::string mounts{std::istreambuf_iterator<char>(mountsFile),
                             std::istreambuf_iterator<char>()};
    const std::optional<std::string> cgroupRoot = Cgroup2MountPoint(mounts);
    if (!cgroupRoot) return {nullptr, "no cgroup v2 mount"};
    // Links hold the cgroup themselves; the descriptor is only needed to attach.
    const UniqueFd cgroup(open(cgroupRoot->c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!cgroup.valid()) return {nullptr, Refused("cannot open the cgroup v2 root", errno)};

    libbpf_set_print(LibbpfPrint);
    auto events = std::make_unique<KernelSocketEvents>(Token{});
    events->skeleton_.reset(socket_events__open());
    if (!events->skeleton_) return {nullptr, Refused("cannot open the eBPF object", errno)};
    if (const int status = socket_events__load(events->skeleton_.get()); status != 0) {
        return {nullptr, Refused("the kernel refused the eBPF programs", -status)};
    }

    // On any failure below, returning drops `events`, which detaches what was attached.
    bpf_program* program = nullptr;
    bpf_object__for_each_program(program, events->skeleton_->obj) {
        bpf_link* link = IsCgroupProgram(program)
                             ? bpf_program__attach_cgroup(program, cgroup.get())
                             : bpf_program__attach(program);
        if (link == nullptr) {
            const int error = errno;
            return {nullptr,
                    Refused((std::string("cannot attach ") + bpf_program__name(program)).c_str(),
                            error)};
        }
        events->links_.emplace_back(link);
    }

    events->ringBuffer_.reset(ring_buffer__new(bpf_map__fd(events->skeleton_->maps.events),
                                               &KernelSocketEvents::OnRecord, events.get(),
                                               nullptr));
    if (!events->ringBuffer_) return {nullptr, Refused("cannot map the ring buffer", errno)};
    return {std::move(events), ""};
}

int KernelSocketEvents::OnRecord(void* context, void* data, std::size_t size) {
    auto* self = static_cast<KernelSocketEvents*>(context);
    if (self->visitor_ != nullptr) {
        (*self->visitor_)(
            std::span<const std::uint8_t>(static_cast<const std::uint8_t*>(data), size));
    }
    return 0;
}

void KernelSocketEvents::DrainRecords(const RecordVisitor& visit) {
    visitor_ = &visit;
    ring_buffer__consume(ringBuffer_.get());
    visitor_ = nullptr;
}

void KernelSocketEvents::Drain(std::vector<SocketEvent>& events) {
    DrainRecords([&events](std::span<const std::uint8_t> record) {
        if (auto event = DecodeSocketEventRecord(record)) events.push_back(std::move(*event));
    });
}

std::uint64_t KernelSocketEvents::droppedEvents() const {
    const int cpus = libbpf_num_possible_cpus();
    if (cpus <= 0) return 0;
    std::vector<std::uint64_t> counts(static_cast<std::size_t>(cpus));
    const std::uint32_t key = 0;
    if (bpf_map__lookup_elem(skeleton_->maps.dropped, &key, sizeof(key), counts.data(),
                             counts.size() * sizeof(std::uint64_t), 0) != 0) {
        return 0;
    }
    std::uint64_t total = 0;
    for (std::uint64_t count : counts) total += count;
    return total;
}

std::vector<std::uint32_t> KernelSocketEvents::programIds() const {
    std::vector<std::uint32_t> ids;
    bpf_program* program = nullptr;
    bpf_object__for_each_program(program, skeleton_->obj) {
        bpf_prog_info info{};
        std::uint32_t length = sizeof(info);
        if (bpf_obj_get_info_by_fd(bpf_program__fd(program), &info, &length) == 0) {
            ids.push_back(info.id);
        }
    }
    return ids;
}

std::vector<std::uint32_t> KernelSocketEvents::linkIds() const {
    std::vector<std::uint32_t> ids;
    for (const auto& link : links_) {
        bpf_link_info info{};
        std::uint32_t length = sizeof(info);
        if (bpf_obj_get_info_by_fd(bpf_link__fd(link.get()), &info, &length) == 0) {
            ids.push_back(info.id);
        }
    }
    return ids;
}

}  // namespace ravelin
