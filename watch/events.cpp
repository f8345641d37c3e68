#include "events.hpp"

#include <linux/cn_proc.h>
#include <linux/connector.h>
#include <linux/netlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
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

bool ProcEvents::drain()
{
    bool any = false;
    alignas(nlmsghdr) char buf[8192];
    for (ssize_t n; fd_ != -1 && (n = recv(fd_, buf, sizeof buf, 0)) > 0;) {
        for (auto* h = reinterpret_cast<nlmsghdr*>(buf); NLMSG_OK(h, size_t(n));
             h = NLMSG_NEXT(h, n)) {
            const auto* message = static_cast<const cn_msg*>(NLMSG_DATA(h));
            // The event sits 4 bytes into its message, not where its 8-byte
            // fields may be read in place: copied out first.
            proc_event event{};
            std::memcpy(&event, message->data, std::min<size_t>(sizeof event, message->len));
            if (event.what == proc_event::PROC_EVENT_FORK ||
                event.what == proc_event::PROC_EVENT_EXEC ||
                event.what == proc_event::PROC_EVENT_EXIT)
                any = true;
        }
    }
    return any;
}

} // namespace family
