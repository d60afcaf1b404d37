#include "service/client_limits.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

// Beyond this many addresses remembered, buckets that have filled up again are forgotten.
constexpr std::size_t bucketSweepSize = 100000;

std::array<std::uint8_t, 16> Mapped(const in_addr& ip4)
{
    std::array<std::uint8_t, 16> bytes{};
    bytes[10] = bytes[11] = 0xff;
    std::memcpy(&bytes[12], &ip4, 4);
    return bytes;
}

bool Within(const std::array<std::uint8_t, 16>& address, const Network& network)
{
    const int whole = network.prefixBits / 8, rest = network.prefixBits % 8;
    if (std::memcmp(address.data(), network.address.data(), static_cast<std::size_t>(whole)) != 0)
        return false;
    if (rest == 0)
        return true;
    const std::uint8_t mask = static_cast<std::uint8_t>(0xff << (8 - rest));
    return (address[static_cast<std::size_t>(whole)] & mask) == (network.address[static_cast<std::size_t>(whole)] & mask);
}

// The address as 16 bytes, IPv4 mapped; false for another family.
bool AddressBytes(const sockaddr_storage& address, std::array<std::uint8_t, 16>& bytes)
{
    if (address.ss_family == AF_INET)
        bytes = Mapped(reinterpret_cast<const sockaddr_in&>(address).sin_addr);
    else if (address.ss_family == AF_INET6)
        std::memcpy(bytes.data(), &reinterpret_cast<const sockaddr_in6&>(address).sin6_addr, 16);
    else
        return false;
    return true;
}

} // namespace

bool WithinAny(const sockaddr_storage& address, const std::vector<Network>& networks)
{
    std::array<std::uint8_t, 16> bytes{};
    return AddressBytes(address, bytes) &&
           std::any_of(networks.begin(), networks.end(), [&](const Network& network) { return Within(bytes, network); });
}

bool ParseNetwork(const std::string& text, Network& network)
{
    const std::size_t slash = text.find('/');
    const std::string address = text.substr(0, slash);
    in_addr ip4{};
    in6_addr ip6{};
    int maximum = 0, offset = 0;
    if (inet_pton(AF_INET, address.c_str(), &ip4) == 1) {
        network.address = Mapped(ip4);
        maximum = 32;
        offset = 96;
    } else if (inet_pton(AF_INET6, address.c_str(), &ip6) == 1) {
        std::memcpy(network.address.data(), &ip6, 16);
        maximum = 128;
    } else {
        return false;
    }
    int bits = maximum;
    if (slash != std::string::npos) {
        const std::string digits = text.substr(slash + 1);
        if (digits.empty() || digits.size() > 3 || digits.find_first_not_of("0123456789") != std::string::npos)
            return false;
        bits = std::atoi(digits.c_str());
        if (bits > maximum)
            return false;
    }
    network.prefixBits = bits + offset;
    return true;
}

std::vector<Network> ClientLimitOptions::DefaultExempt()
{
    std::vector<Network> networks(2);
    ParseNetwork("127.0.0.0/8", networks[0]);
    ParseNetwork("::1", networks[1]);
    return networks;
}

ClientLimits::ClientLimits(ClientLimitOptions options, std::function<Clock::time_point()> now)
    : options(std::move(options)), now(std::move(now))
{
}

ClientKey ClientLimits::KeyOf(const sockaddr_storage& address) const
{
    std::array<std::uint8_t, 16> bytes{};
    if (!AddressBytes(address, bytes) || WithinAny(address, options.exempt))
        return {};
    const bool ip4 = IN6_IS_ADDR_V4MAPPED(reinterpret_cast<const in6_addr*>(bytes.data()));
    char text[INET6_ADDRSTRLEN] = "";
    if (ip4)
        return {inet_ntop(AF_INET, &bytes[12], text, sizeof text)};
    std::fill(bytes.begin() + 8, bytes.end(), 0);
    return {std::string(inet_ntop(AF_INET6, bytes.data(), text, sizeof text)) + "/64"};
}

Admission ClientLimits::Admit(const ClientKey& key)
{
    if (!key.Limited())
        return Admission::Admitted;
    std::lock_guard<std::mutex> lock(mutex);
    const int count = ++open[key.text];
    if (count <= options.connectionsPerAddress)
        return Admission::Admitted;
    // A few beyond the limit learn why they are turned away; the rest cost nothing.
    return count <= 2 * options.connectionsPerAddress ? Admission::Refused : Admission::Dropped;
}

void ClientLimits::Release(const ClientKey& key)
{
    if (!key.Limited())
        return;
    std::lock_guard<std::mutex> lock(mutex);
    auto found = open.find(key.text);
    if (found != open.end() && --found->second <= 0)
        open.erase(found);
}

bool ClientLimits::AllowAnnouncement(const ClientKey& key)
{
    if (!key.Limited())
        return true;
    const double capacity = options.announcementsPerMinute;
    const Clock::time_point time = now();
    auto refill = [&](Bucket& bucket) {
        const double seconds = std::chrono::duration<double>(time - bucket.at).count();
        bucket.tokens = std::min(capacity, bucket.tokens + seconds * capacity / 60.0);
        bucket.at = time;
    };
    std::lock_guard<std::mutex> lock(mutex);
    if (buckets.size() >= bucketSweepSize) {
        for (auto it = buckets.begin(); it != buckets.end();) {
            refill(it->second);
            it = it->second.tokens >= capacity ? buckets.erase(it) : std::next(it);
        }
    }
    Bucket& bucket = buckets.try_emplace(key.text, Bucket{capacity, time}).first->second;
    refill(bucket);
    if (bucket.tokens < 1.0)
        return false;
    bucket.tokens -= 1.0;
    return true;
}
