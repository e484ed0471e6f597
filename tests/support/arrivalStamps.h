#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <thread>

// The kernel stamps datagrams when they come only once stamping is on for the whole
// machine, which it switches a moment after the first socket asks (deferred work):
// until then a datagram is stamped when it is read. Tests of arrival times wait for it
// first, and keep the socket that asked open for the life of the process. False when
// stamping never came on.
inline bool WaitForArrivalStamps()
{
    static const bool isOn = [] {
        const int handle = ::socket(AF_INET, SOCK_DGRAM, 0);
        if (handle < 0) return false;
        const int on = 1;
        if (::setsockopt(handle, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on) != 0) return false;
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(handle, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::getsockname(handle, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            return false;
        const auto ns = [](const timespec& t) {
            return std::int64_t{t.tv_sec} * 1000000000 + t.tv_nsec;
        };
        for (int attempt = 0; attempt < 500; ++attempt) {
            const char probe = 0;
            ::sendto(handle, &probe, 1, 0, reinterpret_cast<sockaddr*>(&address), sizeof address);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            char data[8];
            alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
            iovec io{data, sizeof data};
            msghdr header{};
            header.msg_iov = &io;
            header.msg_iovlen = 1;
            header.msg_control = control;
            header.msg_controllen = sizeof control;
            if (::recvmsg(handle, &header, MSG_DONTWAIT) < 0) continue;
            timespec now{};
            ::clock_gettime(CLOCK_REALTIME, &now);
            for (cmsghdr* item = CMSG_FIRSTHDR(&header); item != nullptr;
                 item = CMSG_NXTHDR(&header, item)) {
                if (item->cmsg_level != SOL_SOCKET || item->cmsg_type != SCM_TIMESTAMPNS) continue;
                timespec stamp{};
                std::memcpy(&stamp, CMSG_DATA(item), sizeof stamp);
                // Stamped when it came, the 10 ms sleep before its read.
                if (ns(now) - ns(stamp) >= 5000000) return true;
            }
        }
        return false;
    }();
    return isOn;
}
