#include "service/exchange_redis.h"

#include "service/exchange_memory.h"

#include <hiredis/hiredis.h>

#include <cstdio>
#include <cstdlib>

namespace {

// Keeps one announcement, all in Redis so that concurrent instances agree. Keys under the
// prefix: "exchange:<digest>" the profile and its owner, expiring by itself; "by:<owner>" the
// digests an owner holds, scored by time; "owners" every owner scored by how many it holds;
// "owner-seen" every owner scored by its last announcement; "total" the sum of the counts.
// Times are Redis's own clock, so that instances need not agree on theirs.
// When the store is full, the owner holding most loses its oldest: one client cannot push
// out the others'.
const char* const rememberScript = R"lua(
local prefix, owner, digest, value = ARGV[1], ARGV[2], ARGV[3], ARGV[4]
local lifetime, capacity = tonumber(ARGV[5]), tonumber(ARGV[6])
local clock = redis.call('TIME')
-- Microseconds: no two announcements share one, so an owner's oldest is always clear.
local now = tonumber(clock[1]) * 1000000 + tonumber(clock[2])
local oldest = now - lifetime * 1000000
local owners, seen, total = prefix .. 'owners', prefix .. 'owner-seen', prefix .. 'total'
local function held(o) return prefix .. 'by:' .. o end
local function counted(o) return tonumber(redis.call('ZSCORE', owners, o) or 0) end
local function recount(o, n)
  redis.call('DECRBY', total, counted(o) - n)
  if n > 0 then redis.call('ZADD', owners, n, o) else
    redis.call('ZREM', owners, o); redis.call('ZREM', seen, o); redis.call('DEL', held(o)) end
end
local function prune(o)
  redis.call('ZREMRANGEBYSCORE', held(o), '-inf', oldest)
  local n = redis.call('ZCARD', held(o))
  recount(o, n)
  return n
end
for _, o in ipairs(redis.call('ZRANGEBYSCORE', seen, '-inf', oldest, 'LIMIT', 0, 100)) do recount(o, 0) end
local key = prefix .. 'exchange:' .. digest
local earlier = redis.call('GET', key)
if earlier then
  local o = string.sub(earlier, string.find(earlier, '|', 1, true) + 1)
  if redis.call('ZREM', held(o), digest) == 1 then recount(o, counted(o) - 1) end
end
prune(owner)
while tonumber(redis.call('GET', total) or 0) >= capacity do
  local top = redis.call('ZREVRANGE', owners, 0, 0)[1]
  if not top then redis.call('SET', total, 0) break end
  if prune(top) > 0 then
    local first = redis.call('ZPOPMIN', held(top))
    redis.call('DEL', prefix .. 'exchange:' .. first[1])
    recount(top, counted(top) - 1)
  end
end
if capacity < 1 then return 1 end
redis.call('SET', key, value .. '|' .. owner, 'EX', lifetime)
redis.call('ZADD', held(owner), now, digest)
redis.call('EXPIRE', held(owner), lifetime)
redis.call('ZADD', seen, now, owner)
recount(owner, counted(owner) + 1)
return 1
)lua";

// How long calls fail at once after Redis could not be reached.
constexpr std::chrono::seconds quietTime{1};
constexpr timeval connectTimeout{1, 0};
constexpr timeval commandTimeout{1, 0};

std::string ProfileText(const AnnouncedProfile& profile)
{
    return std::to_string(profile.version.major) + " " + std::to_string(profile.version.minor) + " " +
           (profile.windows ? "1" : "0") + " " + std::to_string(profile.processorCount);
}

// The profile of a stored value; none when it is not one the service wrote.
std::optional<AnnouncedProfile> ProfileOf(const std::string& value)
{
    AnnouncedProfile profile;
    int windows = 0;
    if (std::sscanf(value.c_str(), "%d %d %d %d|", &profile.version.major, &profile.version.minor, &windows,
                    &profile.processorCount) != 4)
        return std::nullopt;
    profile.windows = windows != 0;
    return profile;
}

bool ParseNumber(const std::string& text, int highest, int& into)
{
    if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    into = std::atoi(text.c_str());
    return into <= highest;
}

} // namespace

struct ExchangeRedis::Reply
{
    redisReply* reply;
    ~Reply() { freeReplyObject(reply); }
};

bool ParseRedisLocation(const std::string& text, RedisLocation& location, std::string& error)
{
    location = RedisLocation{};
    error = "--state needs redis://HOST:PORT/DB or unix:/path/to/socket[?db=N], not " + text;
    if (text.rfind("unix:", 0) == 0) {
        std::string rest = text.substr(5);
        const std::size_t query = rest.find('?');
        if (query != std::string::npos) {
            const std::string parameter = rest.substr(query + 1);
            if (parameter.rfind("db=", 0) != 0 || !ParseNumber(parameter.substr(3), 15, location.database))
                return false;
            rest.resize(query);
        }
        if (rest.empty() || rest.front() != '/')
            return false;
        location.socketPath = rest;
        return true;
    }
    if (text.rfind("redis://", 0) != 0)
        return false;
    std::string rest = text.substr(8);
    const std::size_t slash = rest.find('/');
    if (slash != std::string::npos) {
        if (slash + 1 < rest.size() && !ParseNumber(rest.substr(slash + 1), 15, location.database))
            return false;
        rest.resize(slash);
    }
    const std::size_t colon = rest.rfind(':');
    const bool bracketed = !rest.empty() && rest.front() == '[';
    if (colon != std::string::npos && (!bracketed || rest[colon - 1] == ']')) {
        if (!ParseNumber(rest.substr(colon + 1), 65535, location.port) || location.port == 0)
            return false;
        rest.resize(colon);
    }
    if (bracketed && rest.size() >= 2 && rest.back() == ']')
        rest = rest.substr(1, rest.size() - 2);
    if (rest.empty())
        return false;
    location.host = rest;
    return true;
}

ExchangeRedis::ExchangeRedis(RedisLocation location, std::chrono::seconds lifetime, std::size_t capacity)
    : location(std::move(location)), lifetime(lifetime), capacity(capacity)
{
}

ExchangeRedis::~ExchangeRedis()
{
    for (redisContext* context : idle)
        redisFree(context);
}

std::string ExchangeRedis::Describe() const
{
    return (location.socketPath.empty() ? "redis " + location.host + ":" + std::to_string(location.port)
                                        : "unix:" + location.socketPath) +
           ", database " + std::to_string(location.database);
}

redisContext* ExchangeRedis::Take()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!idle.empty()) {
            redisContext* context = idle.back();
            idle.pop_back();
            return context;
        }
        if (std::chrono::steady_clock::now() < quietUntil)
            return nullptr;
    }
    redisContext* context = location.socketPath.empty()
                                ? redisConnectWithTimeout(location.host.c_str(), location.port, connectTimeout)
                                : redisConnectUnixWithTimeout(location.socketPath.c_str(), connectTimeout);
    bool ready = context != nullptr && context->err == 0 && redisSetTimeout(context, commandTimeout) == REDIS_OK;
    if (ready && location.database != 0) {
        auto* selected = static_cast<redisReply*>(redisCommand(context, "SELECT %d", location.database));
        ready = selected != nullptr && selected->type == REDIS_REPLY_STATUS;
        if (selected != nullptr)
            freeReplyObject(selected);
    }
    if (ready)
        return context;
    if (context != nullptr)
        redisFree(context);
    std::lock_guard<std::mutex> lock(mutex);
    quietUntil = std::chrono::steady_clock::now() + quietTime;
    return nullptr;
}

void ExchangeRedis::Give(redisContext* context)
{
    std::lock_guard<std::mutex> lock(mutex);
    idle.push_back(context);
}

std::unique_ptr<ExchangeRedis::Reply> ExchangeRedis::Command(const std::vector<std::string>& arguments)
{
    redisContext* context = Take();
    if (context == nullptr)
        return nullptr;
    std::vector<const char*> texts;
    std::vector<std::size_t> lengths;
    for (const std::string& argument : arguments) {
        texts.push_back(argument.data());
        lengths.push_back(argument.size());
    }
    auto* reply = static_cast<redisReply*>(
        redisCommandArgv(context, static_cast<int>(texts.size()), texts.data(), lengths.data()));
    if (reply == nullptr) {
        // The connection is broken (Redis went away, or timed out): the next call makes another.
        redisFree(context);
        std::lock_guard<std::mutex> lock(mutex);
        quietUntil = std::chrono::steady_clock::now() + quietTime;
        return nullptr;
    }
    Give(context);
    if (reply->type == REDIS_REPLY_ERROR) {
        std::fprintf(stderr, "pelloran-service: %s refused a command: %.*s\n", Describe().c_str(),
                     static_cast<int>(reply->len), reply->str);
        freeReplyObject(reply);
        return nullptr;
    }
    return std::unique_ptr<Reply>(new Reply{reply});
}

bool ExchangeRedis::Remember(const std::string& owner, const std::string& identifier, const AnnouncedProfile& profile)
{
    return Command({"EVAL", rememberScript, "0", keyPrefix, owner, ExchangeDigest(identifier), ProfileText(profile),
                    std::to_string(lifetime.count()), std::to_string(capacity)}) != nullptr;
}

Recollection ExchangeRedis::Recall(const std::string& identifier)
{
    const auto reply = Command({"GET", std::string(keyPrefix) + "exchange:" + ExchangeDigest(identifier)});
    if (!reply)
        return {false, std::nullopt};
    if (reply->reply->type != REDIS_REPLY_STRING)
        return {};
    return {true, ProfileOf(std::string(reply->reply->str, reply->reply->len))};
}

std::optional<std::size_t> ExchangeRedis::Size()
{
    const auto reply = Command({"GET", std::string(keyPrefix) + "total"});
    if (!reply)
        return std::nullopt;
    if (reply->reply->type != REDIS_REPLY_STRING)
        return 0;
    const long long total = std::atoll(reply->reply->str);
    return total > 0 ? static_cast<std::size_t>(total) : 0;
}
