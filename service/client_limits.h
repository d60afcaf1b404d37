// Limits per client address, so that no one address can take the service from the others:
// connections open at once and announcements a minute. An IPv6 client counts by its /64,
// which one subscriber usually holds whole. Addresses in the exempt networks (by default the
// loopback ones, where a local proxy or the tests connect from) are not limited. Safe to use
// from several threads.
#pragma once

#include <sys/socket.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

// An IPv4 or IPv6 network: an address and how many of its leading bits count.
struct Network
{
    std::array<std::uint8_t, 16> address{}; // IPv4 as an IPv4-mapped IPv6 address
    int prefixBits = 0;                       // of the 128
};

// "192.0.2.0/24", "2001:db8::/32", or an address alone; false when the text is neither.
bool ParseNetwork(const std::string& text, Network& network);

// Whether `address` (IPv4 or IPv6) lies in one of `networks`.
bool WithinAny(const sockaddr_storage& address, const std::vector<Network>& networks);

struct ClientLimitOptions
{
    int connectionsPerAddress = 32;
    int announcementsPerMinute = 60;
    std::vector<Network> exempt; // filled with the loopback networks by DefaultExempt()
    static std::vector<Network> DefaultExempt();
};

// Who a connection counts as: its IPv4 address, or the /64 of its IPv6 one, as a short text;
// empty for an exempt address.
struct ClientKey
{
    std::string text;
    bool Limited() const { return !text.empty(); }
};

enum class Admission
{
    Admitted,
    Refused,  // over the limit: answered with a refusal, then closed
    Dropped,  // far over it: closed at once, without spending a handshake on it
};

class ClientLimits
{
public:
    using Clock = std::chrono::steady_clock;
    explicit ClientLimits(ClientLimitOptions options, std::function<Clock::time_point()> now = Clock::now);

    ClientKey KeyOf(const sockaddr_storage& address) const;

    // A connection opens; every admission, refused ones too, is ended by one Release.
    Admission Admit(const ClientKey& key);
    void Release(const ClientKey& key);

    // Whether one more announcement of `key` may be remembered now; counts it when so.
    bool AllowAnnouncement(const ClientKey& key);

    int AnnouncementsPerMinute() const { return options.announcementsPerMinute; }

private:
    struct Bucket
    {
        double tokens;
        Clock::time_point at;
    };

    const ClientLimitOptions options;
    const std::function<Clock::time_point()> now;
    std::mutex mutex;
    std::unordered_map<std::string, int> open;
    std::unordered_map<std::string, Bucket> buckets;
};
