#include "service/exchange_redis.h"

#include "service/exchange_memory.h"

#include "protocol/hex_text.h"

#include <hiredis/hiredis.h>

#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>

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

// Adds what getQuorvelInfo asked to a held announcement: "<profile> <asked>|<owner>", keeping
// its expiry. An instance of an earlier release reads the profile's four figures and stops.
const char* const noteScript = R"lua(
local key, asked = ARGV[1], ARGV[2]
local earlier = redis.call('GET', key)
if not earlier then return 0 end
local bar = string.find(earlier, '|', 1, true)
local profile = bar and string.match(string.sub(earlier, 1, bar - 1), '^%S+ %S+ %S+ %S+')
if not profile then return 0 end
redis.call('SET', key, profile .. ' ' .. asked .. string.sub(earlier, bar), 'KEEPTTL')
return 1
)lua";

// How long calls fail at once after Redis could not be reached.
constexpr std::chrono::seconds quietTime{1};
// At most one line about failures in this time.
constexpr std::chrono::seconds logInterval{10};
// How long the health check's key outlives the check.
constexpr const char* healthLifetime = "30";
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

std::string AskedText(const ValuesRequest& asked)
{
    return std::to_string(asked.usage) + " " + std::to_string(asked.ramMegabytes) + " " + (asked.bits32 ? "1" : "0");
}

// What getQuorvelInfo asked, from a stored value; none when it was not noted.
std::optional<ValuesRequest> AskedOf(const std::string& value)
{
    int numbers[4], usage = 0, bits32 = 0;
    unsigned long long ramMegabytes = 0;
    if (std::sscanf(value.c_str(), "%d %d %d %d %d %llu %d|", &numbers[0], &numbers[1], &numbers[2], &numbers[3],
                    &usage, &ramMegabytes, &bits32) != 7)
        return std::nullopt;
    ValuesRequest asked;
    asked.usage = usage;
    asked.ramMegabytes = ramMegabytes;
    asked.bits32 = bits32 != 0;
    return asked;
}

// `text` with its %XX escapes decoded; false when an escape is malformed.
bool Unescape(const std::string& text, std::string& into)
{
    into.clear();
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            into += text[i];
            continue;
        }
        if (i + 2 >= text.size())
            return false;
        const int high = HexDigitValue(static_cast<unsigned char>(text[i + 1]));
        const int low = HexDigitValue(static_cast<unsigned char>(text[i + 2]));
        if (high < 0 || low < 0)
            return false;
        into += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return true;
}

// "host:pid", which tells the instances' health keys apart.
std::string InstanceName()
{
    char host[256] = "";
    gethostname(host, sizeof host - 1);
    return std::string(host) + ":" + std::to_string(getpid());
}

// Writes all of `length` bytes over TLS on the non-blocking `tcp`, waiting at most the
// command time-out for room.
bool WriteAll(SSL* ssl, int tcp, const char* bytes, int length)
{
    for (;;) {
        const int put = SSL_write(ssl, bytes, length);
        if (put > 0)
            return true;
        const int error = SSL_get_error(ssl, put);
        pollfd room{tcp, static_cast<short>(error == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT), 0};
        if ((error != SSL_ERROR_WANT_WRITE && error != SSL_ERROR_WANT_READ) ||
            poll(&room, 1, static_cast<int>(commandTimeout.tv_sec * 1000)) != 1)
            return false;
    }
}

// Carries bytes both ways between TLS on the non-blocking `tcp` and the plain socket `inner`
// until either side closes or fails. Non-blocking, since records that carry no data (such as
// session tickets) must not keep the loop from the other side.
void Carry(SSL* ssl, int tcp, int inner, std::shared_ptr<std::atomic<int>> running)
{
    char buffer[16384];
    for (;;) {
        pollfd sides[2] = {{tcp, POLLIN, 0}, {inner, POLLIN, 0}};
        if (SSL_pending(ssl) == 0 && poll(sides, 2, -1) < 0 && errno != EINTR)
            break;
        if (SSL_pending(ssl) > 0 || sides[0].revents != 0) {
            const int got = SSL_read(ssl, buffer, sizeof buffer);
            if (got <= 0 && SSL_get_error(ssl, got) != SSL_ERROR_WANT_READ)
                break;
            if (got > 0 && send(inner, buffer, static_cast<std::size_t>(got), MSG_NOSIGNAL) != got)
                break;
        }
        if (sides[1].revents != 0) {
            const ssize_t got = recv(inner, buffer, sizeof buffer, 0);
            if (got <= 0 || !WriteAll(ssl, tcp, buffer, static_cast<int>(got)))
                break;
        }
    }
    SSL_free(ssl);
    close(tcp);
    close(inner);
    --*running;
}

// hiredis 0.14 speaks to plain sockets only: it gets one end of a socket pair, and a thread
// of its own carries the bytes between the other end and TLS to Redis. The socket of the
// returned end, or -1 with `error` saying why.
int TlsTunnel(const RedisLocation& location, SSL_CTX* context, const std::shared_ptr<std::atomic<int>>& running,
              std::string& error)
{
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(location.host.c_str(), std::to_string(location.port).c_str(), &hints, &found) != 0) {
        error = "the host is not known";
        return -1;
    }
    int tcp = -1;
    error = "no address answered";
    for (addrinfo* address = found; address != nullptr && tcp < 0; address = address->ai_next) {
        tcp = socket(address->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (tcp < 0)
            continue;
        int code = 0;
        socklen_t length = sizeof code;
        pollfd connecting{tcp, POLLOUT, 0};
        if (connect(tcp, address->ai_addr, address->ai_addrlen) != 0 &&
            (errno != EINPROGRESS || poll(&connecting, 1, static_cast<int>(connectTimeout.tv_sec * 1000)) != 1 ||
             getsockopt(tcp, SOL_SOCKET, SO_ERROR, &code, &length) != 0 || code != 0)) {
            error = std::strerror(code != 0 ? code : errno == EINPROGRESS ? ETIMEDOUT : errno);
            close(tcp);
            tcp = -1;
        }
    }
    freeaddrinfo(found);
    if (tcp < 0)
        return -1;
    fcntl(tcp, F_SETFL, fcntl(tcp, F_GETFL) & ~O_NONBLOCK);
    setsockopt(tcp, SOL_SOCKET, SO_RCVTIMEO, &commandTimeout, sizeof commandTimeout);
    setsockopt(tcp, SOL_SOCKET, SO_SNDTIMEO, &commandTimeout, sizeof commandTimeout);
    SSL* ssl = SSL_new(context);
    SSL_set_fd(ssl, tcp);
    in6_addr ip{};
    const bool literal = inet_pton(AF_INET, location.host.c_str(), &ip) == 1 || inet_pton(AF_INET6, location.host.c_str(), &ip) == 1;
    if (literal) {
        X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), location.host.c_str());
    } else {
        SSL_set_tlsext_host_name(ssl, location.host.c_str());
        SSL_set1_host(ssl, location.host.c_str());
    }
    int pair[2];
    if (SSL_connect(ssl) != 1 || socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        const long verified = SSL_get_verify_result(ssl);
        error = verified != X509_V_OK ? std::string("its certificate is not trusted: ") + X509_verify_cert_error_string(verified)
                                      : "the TLS handshake failed";
        SSL_free(ssl);
        close(tcp);
        return -1;
    }
    fcntl(tcp, F_SETFL, fcntl(tcp, F_GETFL) | O_NONBLOCK);
    ++*running;
    std::thread([ssl, tcp, inner = pair[1], running] { Carry(ssl, tcp, inner, running); }).detach();
    return pair[0];
}

bool ParseNumber(const std::string& text, int highest, int& into)
{
    if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    into = std::atoi(text.c_str());
    return into <= highest;
}

// "host", "host:port", "[v6]" or "[v6]:port"; the port stays as it is when not given.
bool ParseHostPort(std::string text, std::string& host, int& port)
{
    const std::size_t colon = text.rfind(':');
    const bool bracketed = !text.empty() && text.front() == '[';
    if (colon != std::string::npos && (!bracketed || text[colon - 1] == ']')) {
        if (!ParseNumber(text.substr(colon + 1), 65535, port) || port == 0)
            return false;
        text.resize(colon);
    }
    if (bracketed && text.size() >= 2 && text.back() == ']')
        text = text.substr(1, text.size() - 2);
    host = text;
    return !host.empty();
}

// "HOST:PORT,HOST:PORT/MASTER[/DB]", after the scheme and credentials.
bool ParseSentinels(const std::string& text, RedisLocation& location)
{
    const std::size_t slash = text.find('/');
    if (slash == std::string::npos)
        return false;
    for (std::size_t start = 0; start < slash;) {
        const std::size_t comma = std::min(text.find(',', start), slash);
        std::pair<std::string, int> sentinel{"", 26379};
        if (!ParseHostPort(text.substr(start, comma - start), sentinel.first, sentinel.second))
            return false;
        location.sentinels.push_back(sentinel);
        start = comma + 1;
    }
    std::string path = text.substr(slash + 1);
    const std::size_t second = path.find('/');
    if (second != std::string::npos) {
        if (!ParseNumber(path.substr(second + 1), 15, location.database))
            return false;
        path.resize(second);
    }
    location.masterName = path;
    return !location.sentinels.empty() && !path.empty() &&
           path.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789._-") == std::string::npos;
}

using OwnedReply = std::unique_ptr<redisReply, decltype(&freeReplyObject)>;

// Asks the sentinels in turn where the master is now; null with `why` when none knows.
redisContext* ConnectToMaster(const RedisLocation& location, std::string& why)
{
    why = "no sentinel answered where master " + location.masterName + " is";
    for (const auto& [host, port] : location.sentinels) {
        redisContext* sentinel = redisConnectWithTimeout(host.c_str(), port, connectTimeout);
        std::string masterHost;
        int masterPort = 0;
        if (sentinel != nullptr && sentinel->err == 0 && redisSetTimeout(sentinel, commandTimeout) == REDIS_OK) {
            const OwnedReply reply(static_cast<redisReply*>(redisCommand(sentinel, "SENTINEL get-master-addr-by-name %s",
                                                                         location.masterName.c_str())),
                                   freeReplyObject);
            if (reply && reply->type == REDIS_REPLY_ARRAY && reply->elements == 2 &&
                reply->element[0]->type == REDIS_REPLY_STRING && reply->element[1]->type == REDIS_REPLY_STRING) {
                masterHost.assign(reply->element[0]->str, reply->element[0]->len);
                ParseNumber(std::string(reply->element[1]->str, reply->element[1]->len), 65535, masterPort);
            }
        }
        if (sentinel != nullptr)
            redisFree(sentinel);
        if (!masterHost.empty() && masterPort > 0)
            return redisConnectWithTimeout(masterHost.c_str(), masterPort, connectTimeout);
    }
    return nullptr;
}

// Whether the server is a master: during a fail-over a sentinel may still name the old one.
bool IsMaster(redisContext* context)
{
    const OwnedReply reply(static_cast<redisReply*>(redisCommand(context, "ROLE")), freeReplyObject);
    return reply && reply->type == REDIS_REPLY_ARRAY && reply->elements > 0 &&
           reply->element[0]->type == REDIS_REPLY_STRING && std::string(reply->element[0]->str, reply->element[0]->len) == "master";
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
    error = "--state needs redis://[USER:PASSWORD@]HOST:PORT/DB or unix:/path/to/socket[?db=N], not " + text;
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
    location.tls = text.rfind("rediss://", 0) == 0;
    const bool sentinel = text.rfind("redis-sentinel://", 0) == 0;
    if (text.rfind("redis://", 0) != 0 && !location.tls && !sentinel)
        return false;
    std::string rest = text.substr(text.find("://") + 3);
    const std::size_t at = rest.rfind('@');
    if (at != std::string::npos) {
        const std::string credentials = rest.substr(0, at);
        const std::size_t colon = credentials.find(':');
        if (colon == std::string::npos || !Unescape(credentials.substr(0, colon), location.user) ||
            !Unescape(credentials.substr(colon + 1), location.password) || location.password.empty())
            return false;
        rest = rest.substr(at + 1);
    }
    if (sentinel)
        return ParseSentinels(rest, location);
    const std::size_t slash = rest.find('/');
    if (slash != std::string::npos) {
        if (slash + 1 < rest.size() && !ParseNumber(rest.substr(slash + 1), 15, location.database))
            return false;
        rest.resize(slash);
    }
    return ParseHostPort(rest, location.host, location.port);
}

ExchangeRedis::ExchangeRedis(RedisLocation location, std::chrono::seconds lifetime, std::size_t capacity,
                             std::function<void(const std::string&)> log, std::function<Clock::time_point()> now)
    : location(std::move(location)), lifetime(lifetime), capacity(capacity),
      log(log ? std::move(log) : [](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); }),
      now(std::move(now)), healthKey(std::string(keyPrefix) + "health:" + InstanceName())
{
    if (this->location.tls) {
        tlsContext = SSL_CTX_new(TLS_client_method());
        SSL_CTX_set_min_proto_version(tlsContext, TLS1_2_VERSION);
        SSL_CTX_set_verify(tlsContext, SSL_VERIFY_PEER, nullptr);
        if (this->location.caFile.empty())
            SSL_CTX_set_default_verify_paths(tlsContext);
        else
            SSL_CTX_load_verify_locations(tlsContext, this->location.caFile.c_str(), nullptr);
    }
}

void ExchangeRedis::Failed(const std::string& what)
{
    ++errors;
    std::lock_guard<std::mutex> lock(logMutex);
    const Clock::time_point time = now();
    if (nextLine && time < *nextLine) {
        ++unlogged;
        return;
    }
    std::string line = "pelloran-service: " + Describe() + " " + what;
    if (unlogged > 0)
        line += " (and " + std::to_string(unlogged) + " more failures since the last line)";
    log(line);
    unlogged = 0;
    nextLine = time + logInterval;
}

ExchangeRedis::~ExchangeRedis()
{
    for (redisContext* context : idle)
        redisFree(context);
    // Their ends closed, the carrying threads finish; let them before the process ends.
    for (int i = 0; i < 100 && *tunnels > 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    SSL_CTX_free(tlsContext); // a tunnel still open holds a reference of its own
}

std::string ExchangeRedis::Describe() const
{
    if (!location.masterName.empty())
        return "redis master " + location.masterName + " (through " + std::to_string(location.sentinels.size()) +
               " sentinels), database " + std::to_string(location.database);
    return (location.socketPath.empty() ? std::string(location.tls ? "rediss " : "redis ") + location.host + ":" +
                                              std::to_string(location.port)
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
    redisContext* context = nullptr;
    if (tlsContext != nullptr) {
        std::string why;
        const int tunnel = TlsTunnel(location, tlsContext, tunnels, why);
        if (tunnel < 0) {
            Failed("cannot be reached over TLS: " + why);
            std::lock_guard<std::mutex> lock(mutex);
            quietUntil = std::chrono::steady_clock::now() + quietTime;
            return nullptr;
        }
        context = redisConnectFd(tunnel);
    } else if (!location.masterName.empty()) {
        std::string why;
        context = ConnectToMaster(location, why);
        if (context == nullptr) {
            Failed("cannot be reached: " + why);
            std::lock_guard<std::mutex> lock(mutex);
            quietUntil = std::chrono::steady_clock::now() + quietTime;
            return nullptr;
        }
    } else {
        context = location.socketPath.empty()
                      ? redisConnectWithTimeout(location.host.c_str(), location.port, connectTimeout)
                      : redisConnectUnixWithTimeout(location.socketPath.c_str(), connectTimeout);
    }
    bool ready = context != nullptr && context->err == 0 && redisSetTimeout(context, commandTimeout) == REDIS_OK;
    if (ready && !location.password.empty()) {
        auto* answered = static_cast<redisReply*>(
            location.user.empty() ? redisCommand(context, "AUTH %s", location.password.c_str())
                                  : redisCommand(context, "AUTH %s %s", location.user.c_str(), location.password.c_str()));
        ready = answered != nullptr && answered->type == REDIS_REPLY_STATUS;
        if (answered != nullptr && answered->type == REDIS_REPLY_ERROR)
            Failed("refused the credentials: " + std::string(answered->str, answered->len));
        if (answered != nullptr)
            freeReplyObject(answered);
    }
    if (ready && location.database != 0) {
        auto* selected = static_cast<redisReply*>(redisCommand(context, "SELECT %d", location.database));
        ready = selected != nullptr && selected->type == REDIS_REPLY_STATUS;
        if (selected != nullptr)
            freeReplyObject(selected);
    }
    if (ready && !location.masterName.empty() && !IsMaster(context)) {
        Failed("cannot be reached: the server the sentinels name is no master yet");
        ready = false;
    }
    if (ready)
        return context;
    if (context == nullptr || context->err != 0)
        Failed(std::string("cannot be reached: ") + (context != nullptr ? context->errstr : "out of memory"));
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

std::unique_ptr<ExchangeRedis::Reply> ExchangeRedis::Command(const std::vector<std::string>& arguments, bool* refused)
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
        Failed(std::string("broke off: ") + context->errstr);
        redisFree(context);
        std::lock_guard<std::mutex> lock(mutex);
        quietUntil = std::chrono::steady_clock::now() + quietTime;
        return nullptr;
    }
    // A master the sentinels have since demoted refuses writes: the next connection asks them.
    if (reply->type == REDIS_REPLY_ERROR && !location.masterName.empty() && std::strncmp(reply->str, "READONLY", 8) == 0)
        redisFree(context);
    else
        Give(context);
    if (reply->type == REDIS_REPLY_ERROR) {
        Failed("refused a command: " + std::string(reply->str, reply->len));
        freeReplyObject(reply);
        if (refused != nullptr)
            *refused = true;
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
        return {false, std::nullopt, std::nullopt};
    if (reply->reply->type != REDIS_REPLY_STRING)
        return {};
    const std::string value(reply->reply->str, reply->reply->len);
    return {true, ProfileOf(value), AskedOf(value)};
}

bool ExchangeRedis::NoteValuesAsked(const std::string& identifier, const ValuesRequest& asked)
{
    return Command({"EVAL", noteScript, "0", std::string(keyPrefix) + "exchange:" + ExchangeDigest(identifier),
                    AskedText(asked)}) != nullptr;
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

StoreHealth ExchangeRedis::Check()
{
    bool refused = false;
    if (!Command({"SET", healthKey, "1", "EX", healthLifetime}, &refused))
        return refused ? StoreHealth::Unwritable : StoreHealth::Unreachable;
    // A total that is no number of the service's makes every announcement fail.
    const auto total = Command({"GET", std::string(keyPrefix) + "total"}, &refused);
    if (!total)
        return refused ? StoreHealth::Unwritable : StoreHealth::Unreachable;
    const redisReply& reply = *total->reply;
    if (reply.type == REDIS_REPLY_NIL)
        return StoreHealth::Ready;
    const std::string text = reply.type == REDIS_REPLY_STRING ? std::string(reply.str, reply.len) : "";
    if (!text.empty() && text.size() <= 18 && text.find_first_not_of("0123456789", text[0] == '-' ? 1 : 0) == std::string::npos &&
        text != "-")
        return StoreHealth::Ready;
    Failed(std::string("holds a value the service did not write under ") + keyPrefix + "total");
    return StoreHealth::Unwritable;
}
