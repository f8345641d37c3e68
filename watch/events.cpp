#include "events.hpp"

#include <arpa/inet.h>
#include <linux/cn_proc.h>
#include <linux/connector.h>
#include <linux/filter.h>
#include <linux/netlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace family {

ProcEvents::ProcEvents()
{
    fd_ = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_CONNECTOR);
    sockaddr_nl here{};
    here.nl_family = AF_NETLINK;
    here.nl_groups = CN_IDX_PROC;
    here.nl_pid = 0; // the kernel gives one
    if (fd_ == -1 || bind(fd_, reinterpret_cast<sockaddr*>(&here), sizeof here) == -1) {
        refused_ = std::strerror(errno);
        if (fd_ != -1)
            close(fd_);
        fd_ = -1;
        return;
    }
    // "Tell me": a connector message whose data is the operation.
    alignas(nlmsghdr) unsigned char ask[NLMSG_SPACE(sizeof(cn_msg) + sizeof(proc_cn_mcast_op))]{};
    auto* header = reinterpret_cast<nlmsghdr*>(ask);
    header->nlmsg_len = NLMSG_LENGTH(sizeof(cn_msg) + sizeof(proc_cn_mcast_op));
    header->nlmsg_type = NLMSG_DONE;
    auto* message = static_cast<cn_msg*>(NLMSG_DATA(header));
    message->id = {CN_IDX_PROC, CN_VAL_PROC};
    message->len = sizeof(proc_cn_mcast_op);
    proc_cn_mcast_op op = PROC_CN_MCAST_LISTEN;
    std::memcpy(message->data, &op, sizeof op);
    if (send(fd_, ask, header->nlmsg_len, 0) != ssize_t(header->nlmsg_len)) {
        refused_ = std::strerror(errno);
        close(fd_);
        fd_ = -1;
    }
}

ProcEvents::~ProcEvents()
{
    if (fd_ != -1)
        close(fd_);
}

namespace {

// The processes that one datagram's events concern.
void note(const char* data, size_t size, std::vector<int>& pids)
{
    auto n = ssize_t(size);
    for (const auto* h = reinterpret_cast<const nlmsghdr*>(data); NLMSG_OK(h, size_t(n));
         h = NLMSG_NEXT(h, n)) {
        const auto* message = static_cast<const cn_msg*>(NLMSG_DATA(h));
        // The event sits 4 bytes into its message, not where its 8-byte
        // fields may be read in place: copied out first.
        proc_event event{};
        std::memcpy(&event, message->data, std::min<size_t>(sizeof event, message->len));
        // By process, not thread: a thread's start or end is told with its
        // process's id too.
        const auto& d = event.event_data;
        if (event.what == proc_event::PROC_EVENT_FORK) {
            pids.push_back(d.fork.parent_tgid);
            pids.push_back(d.fork.child_tgid);
        } else if (event.what == proc_event::PROC_EVENT_EXEC) {
            pids.push_back(d.exec.process_tgid);
        } else if (event.what == proc_event::PROC_EVENT_EXIT) {
            pids.push_back(d.exit.process_tgid);
        }
    }
}

} // namespace

ProcEvents::Concerned ProcEvents::drain()
{
    Concerned concerned;
    // The kernel sends each event in a datagram of its own: a few dozen
    // are taken in one call, and fewer than asked for means none is left.
    constexpr unsigned kSlots = 32;
    alignas(nlmsghdr) static char slots[kSlots][512];
    iovec parts[kSlots];
    mmsghdr messages[kSlots]{};
    for (unsigned i = 0; i < kSlots; ++i) {
        parts[i] = {slots[i], sizeof slots[i]};
        messages[i].msg_hdr.msg_iov = &parts[i];
        messages[i].msg_hdr.msg_iovlen = 1;
    }
    int got = kSlots;
    while (fd_ != -1 && got == int(kSlots)) {
        got = recvmmsg(fd_, messages, kSlots, MSG_DONTWAIT, nullptr);
        for (int i = 0; i < got; ++i)
            note(slots[i], messages[i].msg_len, concerned.pids);
    }
    // More came than the socket holds: which ones is not known.
    if (got == -1 && errno == ENOBUFS)
        concerned.lost = true;
    return concerned;
}

namespace {

// Where a message's fields are, in the bytes the filter sees: the
// netlink header, the connector's, then the event. A fork's parent, an
// exec's process and an exit's process sit at the same place.
constexpr uint32_t kEventAt = NLMSG_HDRLEN + offsetof(cn_msg, data);
constexpr uint32_t kWhatAt = kEventAt + offsetof(proc_event, what);
constexpr uint32_t kProcessAt = kEventAt + offsetof(proc_event, event_data.fork.parent_tgid);
static_assert(offsetof(proc_event, event_data.exec.process_tgid) ==
              offsetof(proc_event, event_data.fork.parent_tgid));
static_assert(offsetof(proc_event, event_data.exit.process_tgid) ==
              offsetof(proc_event, event_data.fork.parent_tgid));

// A classic socket filter: keep a fork, an exec or an exit of one of
// `pids`, drop the rest. Its loads read in network order, so each value
// it compares with is turned so too.
std::vector<sock_filter> filter_of(const std::vector<int>& pids)
{
    const uint32_t keep = 0xffffffff;
    // A jump counts the steps it skips.
    std::vector<sock_filter> code = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, kWhatAt),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, htonl(proc_event::PROC_EVENT_FORK), 3, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, htonl(proc_event::PROC_EVENT_EXEC), 2, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, htonl(proc_event::PROC_EVENT_EXIT), 1, 0),
        BPF_STMT(BPF_RET | BPF_K, 0),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, kProcessAt),
    };
    // One of them: the next step keeps it; another: that step is skipped.
    for (int pid : pids) {
        code.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, htonl(uint32_t(pid)), 0, 1));
        code.push_back(BPF_STMT(BPF_RET | BPF_K, keep));
    }
    code.push_back(BPF_STMT(BPF_RET | BPF_K, 0));
    return code;
}

} // namespace

void ProcEvents::only(const std::vector<int>& pids)
{
    if (fd_ == -1 || pids == filtered_)
        return;
    filtered_ = pids;
    if (!pids.empty() && pids.size() <= kMostFiltered) {
        auto code = filter_of(pids);
        sock_fprog program{.len = static_cast<unsigned short>(code.size()), .filter = code.data()};
        if (setsockopt(fd_, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program) == 0)
            return;
    }
    // No filter: a stale one would hide the family's own events.
    int none = 0;
    (void)setsockopt(fd_, SOL_SOCKET, SO_DETACH_FILTER, &none, sizeof none);
}

} // namespace family
