#pragma once

#include <linux/netlink.h>

namespace Orvex {

// Whether a whole netlink message starts at `header` within the `remaining`
// bytes of a datagram: NLMSG_OK, with the unsigned comparison made only once
// the count is known to be positive. The count stays signed because
// NLMSG_NEXT subtracts aligned lengths from it, which may take it below zero.
inline bool netlinkMessageFits(const nlmsghdr *header, int remaining)
{
    return remaining >= int(sizeof(nlmsghdr)) && header->nlmsg_len >= sizeof(nlmsghdr)
           && header->nlmsg_len <= static_cast<unsigned>(remaining);
}

} // namespace Orvex
