// The exchange store several instances share: announcements in Redis (standalone), each under
// a key that expires by itself, bounded like the in-memory store. Connections are made as
// calls need them and dropped on any error, so that the store recovers by itself once Redis
// is back; while it is not, calls fail at once for a second instead of waiting each time.
#pragma once

#include "service/exchange_store.h"

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct redisContext;

struct RedisLocation
{
    std::string host;       // empty for a unix socket
    int port = 6379;
    std::string socketPath; // empty for TCP
    int database = 0;
};

// "redis://HOST:PORT/DB" (port and database optional) or "unix:/path/to/socket[?db=N]". False
// with a sentence saying why when the text is neither.
bool ParseRedisLocation(const std::string& text, RedisLocation& location, std::string& error);

class ExchangeRedis : public ExchangeStore
{
public:
    explicit ExchangeRedis(RedisLocation location, std::chrono::seconds lifetime = std::chrono::seconds(15 * 60),
                           std::size_t capacity = 100000);
    ~ExchangeRedis() override;

    bool Remember(const std::string& owner, const std::string& identifier, const AnnouncedProfile& profile) override;
    Recollection Recall(const std::string& identifier) override;
    std::optional<std::size_t> Size() override;

    // "unix:/run/redis.sock, database 2" or "redis 10.0.0.7:6379, database 0", for messages.
    std::string Describe() const;

    // The prefix of every key the service writes.
    static constexpr const char* keyPrefix = "pelloran:";

private:
    struct Reply;
    // Runs one command; null when Redis could not be reached or failed the command.
    std::unique_ptr<Reply> Command(const std::vector<std::string>& arguments);
    redisContext* Take();
    void Give(redisContext* context);

    const RedisLocation location;
    const std::chrono::seconds lifetime;
    const std::size_t capacity;
    std::mutex mutex;
    std::vector<redisContext*> idle;
    std::chrono::steady_clock::time_point quietUntil{}; // no new connection tried before
};
