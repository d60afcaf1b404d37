// The PROXY protocol header a load balancer sends before a connection's own bytes, carrying
// the address of the client it stands for: version 1 (one line of text) and version 2
// (binary). Only trusted from the balancers' networks: anyone else could claim any address.
#pragma once

#include <sys/socket.h>

#include <cstddef>
#include <string_view>

// The longest header taken: version 1's 107 bytes, or version 2's 16 and a block of addresses
// and extensions a balancer would send.
inline constexpr std::size_t proxyHeaderLimit = 16 + 1024;

struct ProxyHeader
{
    enum class State
    {
        Incomplete, // every byte so far belongs to a header that has not ended
        Invalid,
        Complete,
    };
    State state = State::Incomplete;
    std::size_t length = 0;     // of the whole header, once complete
    bool carriesClient = false; // false for the balancer's own connections (LOCAL, UNKNOWN)
    sockaddr_storage client{};  // the client's address and port, when carried
};

// Reads the header at the start of `bytes`, which may go on past it.
ProxyHeader ReadProxyHeader(std::string_view bytes);
