// The exchange store several instances share: announcements in Redis (standalone, or the
// master a set of sentinels names, asked again whenever a connection is made), each under
// a key that expires by itself, bounded like the in-memory store. Connections are made as
// calls need them and dropped on any error, so that the store recovers by itself once Redis
// is back; while it is not, calls fail at once for a second instead of waiting each time.
// Failures are counted, and logged at most once every ten seconds, since a store that
// refuses every write would otherwise write a line for every request.
#pragma once

#include "service/exchange_store.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

struct redisContext;
struct ssl_ctx_st;

struct RedisLocation
{
    std::string host;       // empty for a unix socket
    int port = 6379;
    std::string socketPath; // empty for TCP
    int database = 0;
    std::string user;     // for AUTH: empty for the default user
    std::string password; // empty: no AUTH
    bool tls = false;     // rediss://: TLS, the server verified by the system's authorities
    std::string caFile;   // or by these (PEM), when given
    // Through Sentinel: the master's name, and the sentinels to ask where it is (host and port
    // above are then unused).
    std::string masterName;
    std::vector<std::pair<std::string, int>> sentinels;
};

// "redis://[USER:PASSWORD@]HOST:PORT/DB" (port, database and credentials optional; the
// credentials %-encoded as in any URL), the same with "rediss://" for TLS, or
// "unix:/path/to/socket[?db=N]", or "redis-sentinel://[USER:PASSWORD@]HOST:PORT[,HOST:PORT]...
// /MASTER[/DB]" (port 26379 when left out; the credentials are the master's). False with a
// sentence saying why when the text is none of them.
bool ParseRedisLocation(const std::string& text, RedisLocation& location, std::string& error);

class ExchangeRedis : public ExchangeStore
{
public:
    using Clock = std::chrono::steady_clock;
    // `log` takes the lines about failures (standard error by default).
    explicit ExchangeRedis(RedisLocation location, std::chrono::seconds lifetime = defaultLifetime,
                           std::size_t capacity = defaultCapacity, std::function<void(const std::string&)> log = {},
                           std::function<Clock::time_point()> now = Clock::now);
    ~ExchangeRedis() override;

    bool Remember(const std::string& owner, const std::string& identifier, const AnnouncedProfile& profile) override;
    Recollection Recall(const std::string& identifier) override;
    bool NoteValuesAsked(const std::string& identifier, const ValuesRequest& asked) override;
    std::optional<std::size_t> Size() override;
    // Writes a key of this instance's with a short expiry, and reads the total the service keeps.
    StoreHealth Check() override;
    std::uint64_t Errors() const override { return errors; }
    bool Waits() const override { return true; }

    // "unix:/run/redis.sock, database 2" or "redis 10.0.0.7:6379, database 0", for messages.
    std::string Describe() const;

    // The prefix of every key the service writes.
    static constexpr const char* keyPrefix = "pelloran:";

private:
    struct Reply;
    // Runs one command; null when Redis could not be reached or failed the command (then
    // `refused` is set, when given).
    std::unique_ptr<Reply> Command(const std::vector<std::string>& arguments, bool* refused = nullptr);
    redisContext* Take();
    void Give(redisContext* context);
    // Counts a failure and logs it, unless a line was written less than ten seconds ago.
    void Failed(const std::string& what);

    const RedisLocation location;
    const std::chrono::seconds lifetime;
    const std::size_t capacity;
    std::mutex mutex;
    std::vector<redisContext*> idle;
    std::chrono::steady_clock::time_point quietUntil{}; // no new connection tried before
    ssl_ctx_st* tlsContext = nullptr;                   // for rediss://
    std::shared_ptr<std::atomic<int>> tunnels = std::make_shared<std::atomic<int>>(0); // carrying threads running
    const std::function<void(const std::string&)> log;
    const std::function<Clock::time_point()> now;
    const std::string healthKey;
    std::atomic<std::uint64_t> errors{0};
    std::mutex logMutex;
    std::optional<Clock::time_point> nextLine; // no line before, unless none was written yet
    std::uint64_t unlogged = 0;                // failures since the last line
};
