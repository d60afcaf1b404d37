// pelloran-service as the wizard meets it: the real program over HTTPS on loopback with a
// certificate made by openssl, called through the generated proxy and the HTTPS transport.
#include "abusive_clients.h"
#include "service/exchange_redis.h"
#include "service_process.h"

#include "tuning/http_transport.h"
#include "protocol/maker_constants.h"

#include "../support/program_run.h"
#include "../support/temp_dir.h"
#include "../tuning/loopback_https.h"

#include <gtest/gtest.h>

#include <hiredis/hiredis.h>

#include <openssl/pem.h>
#include <openssl/ssl.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <thread>

namespace {

const std::vector<std::string> tableNames = {
    "max_connections",      "shared_buffers",     "work_mem",
    "maintenance_work_mem", "max_fsm_pages",      "max_fsm_relations",
    "wal_buffers",          "checkpoint_segments", "random_page_cost",
    "effective_cache_size", "autovacuum",         "autovacuum_naptime",
    "autovacuum_vacuum_threshold", "autovacuum_analyze_threshold", "autovacuum_vacuum_scale_factor",
    "autovacuum_analyze_scale_factor", "stats_row_level"};

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// Whether the certificate the service on `port` presents in a new handshake is the one in
// `file`.
bool Presents(int port, const std::string& file)
{
    std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> context(SSL_CTX_new(TLS_client_method()), SSL_CTX_free);
    std::unique_ptr<SSL, decltype(&SSL_free)> ssl(SSL_new(context.get()), SSL_free);
    const int socket = ConnectFrom("127.0.0.1", port);
    SSL_set_fd(ssl.get(), socket);
    bool same = false;
    if (SSL_connect(ssl.get()) == 1) {
        std::unique_ptr<X509, decltype(&X509_free)> presented(SSL_get1_peer_certificate(ssl.get()), X509_free);
        std::unique_ptr<BIO, decltype(&BIO_free)> in(BIO_new_file(file.c_str(), "r"), BIO_free);
        std::unique_ptr<X509, decltype(&X509_free)> expected(PEM_read_bio_X509(in.get(), nullptr, nullptr, nullptr),
                                                             X509_free);
        same = presented && expected && X509_cmp(presented.get(), expected.get()) == 0;
    }
    close(socket);
    return same;
}

class ServiceTest : public testing::Test
{
protected:
    void SetUp() override
    {
        certificate = MakeCertificate(folder.path(), "localhost");
        setenv(caFileVariable, certificate.certificateFile.c_str(), 1);
    }
    void TearDown() override { unsetenv(caFileVariable); }

    std::unique_ptr<ServiceProcess> Start(std::vector<std::string> extra = {}, const std::string& errorFile = "service.err")
    {
        std::vector<std::string> arguments = {"--listen", "127.0.0.1:0", "--cert", certificate.certificateFile,
                                              "--key", certificate.keyFile, "--access-log", folder.file("access.log")};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        auto service = std::make_unique<ServiceProcess>(arguments, folder.file(errorFile));
        EXPECT_TRUE(service->Ready()) << ReadFileBytes(folder.file(errorFile));
        return service;
    }

    // The values getQuorvelInfo answers after `announcedVersion` was announced.
    std::map<std::string, std::string> ValuesAfter(const std::string& endpoint, const std::string& id,
                                                   const std::string& announcedVersion)
    {
        auto proxy = MakeClient(endpoint);
        Params announcement(Announcement(id, announcedVersion));
        char* verdict = nullptr;
        EXPECT_EQ(proxy->validateUser(announcement.get(), &verdict), SOAP_OK);
        Params request(ValuesRequestTexts(id, "100", "16384"));
        ns2__getQuorvelInfoResponse response;
        EXPECT_EQ(proxy->getQuorvelInfo(request.get(), response), SOAP_OK);
        std::map<std::string, std::string> values;
        for (const auto& [name, value] : DecodePairs(response))
            values[name] = value;
        return values;
    }

    TempDir folder;
    Certificate certificate;
};

TEST_F(ServiceTest, ServesTheThreeOperationsAndLogsEachRequest)
{
    auto service = Start();
    EXPECT_EQ(service->ReadyLine(), "pelloran-service: listening on https://127.0.0.1:" +
                                        std::to_string(service->Port()) + "/authws/services/AuthenticationService");
    auto proxy = MakeClient(service->Endpoint());

    char* text = nullptr;
    ASSERT_EQ(proxy->testWebService(&text), SOAP_OK);
    ASSERT_NE(text, nullptr);
    EXPECT_STRNE(text, "");

    Params announcement(Announcement("0f8fad5b-d9cb-469f-a165-70867728950e", "15.4"));
    char* verdict = nullptr;
    ASSERT_EQ(proxy->validateUser(announcement.get(), &verdict), SOAP_OK);
    EXPECT_STREQ(verdict, "0");

    Params request(ValuesRequestTexts("0f8fad5b-d9cb-469f-a165-70867728950e", "100", "8192"));
    ns2__getQuorvelInfoResponse response;
    ASSERT_EQ(proxy->getQuorvelInfo(request.get(), response), SOAP_OK);
    const auto pairs = DecodePairs(response);
    ASSERT_EQ(pairs.size(), 17u);
    for (std::size_t i = 0; i < pairs.size(); ++i)
        EXPECT_EQ(pairs[i].first, tableNames[i]) << "table order";
    EXPECT_EQ(pairs[1].second, "2GB");
    EXPECT_EQ(pairs[9].second, "6GB");
    // Every text came as upper-case hex digits.
    for (int i = 0; i < response._getQuorvelInfoReturn->__size; ++i)
        for (int j = 0; j < 2; ++j)
            EXPECT_TRUE(std::regex_match(response._getQuorvelInfoReturn->__ptr[i].__ptr[j], std::regex("[0-9A-F]*")));
    // Each call on a connection of its own; the later two skip the full handshake.
    EXPECT_EQ(FindTransport(proxy.get())->Figures().connectionsOpened, 3u);
    EXPECT_EQ(FindTransport(proxy.get())->Figures().sessionsResumed, 2u);

    EXPECT_EQ(service->Stop(), 0);
    const auto lines = Lines(ReadFileBytes(folder.file("access.log")));
    ASSERT_EQ(lines.size(), 3u);
    const std::regex common(R"(127\.0\.0\.1 - - \[\d\d/[A-Z][a-z]{2}/\d{4}:\d\d:\d\d:\d\d [+-]\d{4}\] )"
                            R"("POST /authws/services/AuthenticationService\?wsdl HTTP/1\.1" 200 \d+)");
    for (const std::string& line : lines)
        EXPECT_TRUE(std::regex_match(line, common)) << line;
    EXPECT_EQ(ReadFileBytes(folder.file("service.err")), "pelloran-service: stopped\n");
}

TEST_F(ServiceTest, OtherCredentialsGet401WithAChallenge)
{
    auto service = Start();
    struct Case
    {
        const char* description;
        std::string userPassword;
    };
    // Each right after an accepted call, a few times over: a thread answers request after
    // request with one context, and none may find the credentials of the one before.
    auto accepted = MakeClient(service->Endpoint());
    for (int round = 0; round < 3; ++round)
        for (const Case& c : {Case{"no credentials", ""}, Case{"wrong secret", std::string(serviceUserId) + ":quintal"},
                              Case{"wrong user", "someone@example.com:quintals"}}) {
            char* text = nullptr;
            ASSERT_EQ(accepted->testWebService(&text), SOAP_OK);
            const PostAnswer answer = Post(service->Endpoint(), "<x/>", certificate.certificateFile, c.userPassword);
            EXPECT_EQ(answer.status, 401) << c.description << answer.error;
            EXPECT_NE(answer.headers.find("WWW-Authenticate: Basic realm=\""), std::string::npos)
                << c.description << "\n" << answer.headers;
        }
    auto proxy = MakeClient(service->Endpoint(), false);
    char* text = nullptr;
    EXPECT_NE(proxy->testWebService(&text), SOAP_OK);
    EXPECT_EQ(FindTransport(proxy.get())->Figures().status, 401);
}

TEST_F(ServiceTest, EveryValidateUserVerdict)
{
    auto service = Start();
    struct Case
    {
        const char* description;
        int item;
        std::string text;
        const char* verdict;
    };
    const Case cases[] = {
        {"sound", 0, "", "0"},
        {"not the service account", 17, "wrong", "1"},
        {"server version below 8.2", 7, "8.1", "2"},
        {"server version not a version", 7, "unknown", "2"},
        {"usage level not 33, 66 or 100", 18, "50", "4"},
        {"memory not a number", 15, "a lot", "4"},
    };
    auto proxy = MakeClient(service->Endpoint());
    for (const Case& c : cases) {
        std::vector<std::string> texts = Announcement("id-1", "9.6");
        if (c.item > 0)
            texts[c.item - 1] = c.text;
        Params params(texts);
        char* verdict = nullptr;
        ASSERT_EQ(proxy->validateUser(params.get(), &verdict), SOAP_OK) << c.description;
        EXPECT_STREQ(verdict, c.verdict) << c.description;
    }
    Params eighteen(std::vector<std::string>(18, "x"));
    char* verdict = nullptr;
    ASSERT_EQ(proxy->validateUser(eighteen.get(), &verdict), SOAP_OK);
    EXPECT_STREQ(verdict, "4") << "18 items";
}

TEST_F(ServiceTest, MalformedOrUnannouncedGetQuorvelInfoGetsAFaultSayingWhy)
{
    auto service = Start();
    auto proxy = MakeClient(service->Endpoint());
    std::vector<std::string> refused = Announcement("refused", "9.6");
    refused[16] = "wrong";
    Params refusal(refused);
    char* verdict = nullptr;
    ASSERT_EQ(proxy->validateUser(refusal.get(), &verdict), SOAP_OK);
    ASSERT_STREQ(verdict, "1");
    const char* unknown = "Unknown or expired exchange: announce the machine with validateUser, then ask again";
    struct Case
    {
        const char* description;
        std::vector<std::string> texts;
        const char* message;
    };
    const Case cases[] = {
        {"usage level", ValuesRequestTexts("id", "50"), "the usage level (item 2) must be 33, 66 or 100"},
        {"memory", ValuesRequestTexts("id", "66", "-1"), "the memory (item 3) must be a positive whole number of megabytes"},
        {"bitness", ValuesRequestTexts("id", "66", "2048", "16"), "the bitness (item 7) must be 32 or 64"},
        {"six items", {"id", "66", "2048", "2.0000", "oltp", "32"}, "getQuorvelInfo needs 7 items, not 6"},
        // Values guessed for an unknown exchange could name parameters its server refuses.
        {"never announced", ValuesRequestTexts("never-announced"), unknown},
        {"announcement refused", ValuesRequestTexts("refused"), unknown},
    };
    for (const Case& c : cases) {
        Params params(c.texts);
        ns2__getQuorvelInfoResponse response;
        EXPECT_NE(proxy->getQuorvelInfo(params.get(), response), SOAP_OK) << c.description;
        char text[1024];
        proxy->soap_sprint_fault(text, sizeof text);
        EXPECT_NE(std::strstr(text, c.message), nullptr) << c.description << ": " << text;
    }
}

// The extension's call computes from what its exchange's getQuorvelInfo asked, wherever that
// was answered: in this process or, through Redis, by another instance.
TEST_F(ServiceTest, TheExtensionFollowsGetQuorvelInfoOfItsExchange)
{
    RedisProcess redis(folder.path());
    ASSERT_TRUE(redis.Start()) << ReadFileBytes(folder.file("redis.log"));
    auto alone = Start();
    auto a = Start({"--state", redis.State()}), b = Start({"--state", redis.State()});
    const std::string noValuesAsked = "No values were asked in this exchange: call getQuorvelInfo, then getTuningExtensions";
    const std::string unknown = "Unknown or expired exchange";
    const std::vector<std::string> facts = {"cpus=8", "storage=ssd", "no_such_fact=1", "wal_free_mb=100000"};
    const auto request = [&facts](const std::string& id) {
        std::vector<std::string> texts = {id, "ext/1"};
        texts.insert(texts.end(), facts.begin(), facts.end());
        return texts;
    };
    const struct
    {
        const char* description;
        ServiceProcess& announcer;
        ServiceProcess& extender;
    } stores[] = {{"in memory", *alone, *alone}, {"in Redis, across instances", *a, *b}};
    for (const auto& store : stores) {
        auto proxy = MakeClient(store.announcer.Endpoint());
        char* text = nullptr;
        ASSERT_EQ(proxy->testWebService(&text), SOAP_OK);
        EXPECT_STREQ(text, "Pelloran tuning service is running ext=1");
        const std::string id = std::string("ext-") + store.description;
        Params announcement(Announcement(id, "15.4"));
        char* verdict = nullptr;
        ASSERT_EQ(proxy->validateUser(announcement.get(), &verdict), SOAP_OK);
        auto extender = MakeClient(store.extender.Endpoint());
        std::string failure;
        EXPECT_TRUE(ExtensionRows(*extender, request(id), failure).empty());
        EXPECT_NE(failure.find(noValuesAsked), std::string::npos) << store.description << ": " << failure;

        Params values(ValuesRequestTexts(id, "100", "16384"));
        ns2__getQuorvelInfoResponse response;
        ASSERT_EQ(proxy->getQuorvelInfo(values.get(), response), SOAP_OK);
        const auto rows = ExtensionRows(*extender, request(id), failure);
        EXPECT_EQ(failure, "") << store.description;
        std::map<std::string, std::vector<std::string>> byName;
        for (const auto& row : rows) {
            ASSERT_EQ(row.size(), 4u) << store.description;
            byName[row[0]] = row;
        }
        EXPECT_EQ(byName["random_page_cost"][1], "1.1") << store.description;
        EXPECT_EQ(byName["random_page_cost"][2], "refine") << store.description;
        EXPECT_EQ(byName["max_wal_size"][1], "8GB") << "dedicated, 16 GB of memory: " << store.description;
        EXPECT_EQ(byName["effective_io_concurrency"][2], "set") << store.description;

        const struct
        {
            const char* description;
            std::vector<std::string> texts;
            std::string message;
        } refusals[] = {
            {"another version of the extension", {id, "ext/2"}, "the extension's version (item 2) must be ext/1"},
            {"33 facts", [&] {
                 std::vector<std::string> many = {id, "ext/1"};
                 many.resize(35, "cpus=8");
                 return many;
             }(), "at most 32 facts, not 33"},
            {"no version", {id}, "getTuningExtensions needs the exchange identifier and the extension's version"},
            {"never announced", request("never-announced"), unknown},
        };
        for (const auto& r : refusals) {
            EXPECT_TRUE(ExtensionRows(*extender, r.texts, failure).empty()) << r.description;
            EXPECT_NE(failure.find(r.message), std::string::npos) << r.description << ": " << failure;
        }
    }
}

TEST_F(ServiceTest, TheAnnouncedVersionChangesTheAnswer)
{
    auto service = Start();
    const std::string endpoint = service->Endpoint();

    auto v82 = ValuesAfter(endpoint, "exchange-82", "8.2");
    EXPECT_EQ(v82["stats_row_level"], "on");
    EXPECT_EQ(v82["max_fsm_pages"], "1638400");
    EXPECT_EQ(v82["max_fsm_relations"], "4000");
    EXPECT_EQ(v82["checkpoint_segments"], "32");

    auto v83 = ValuesAfter(endpoint, "exchange-83", "8.3");
    EXPECT_EQ(v83["stats_row_level"], "");
    EXPECT_EQ(v83["max_fsm_pages"], "1638400");
    EXPECT_EQ(v83["max_fsm_relations"], "4000");

    auto v94 = ValuesAfter(endpoint, "exchange-94", "9.4");
    EXPECT_EQ(v94["max_fsm_pages"], "");
    EXPECT_EQ(v94["max_fsm_relations"], "");
    EXPECT_EQ(v94["checkpoint_segments"], "32");

    auto v15 = ValuesAfter(endpoint, "exchange-15", "15.18");
    for (const char* removed : {"max_fsm_pages", "max_fsm_relations", "checkpoint_segments", "stats_row_level"})
        EXPECT_EQ(v15[removed], "") << removed;
    EXPECT_EQ(v15["shared_buffers"], "4GB");
    EXPECT_EQ(v15.size(), 17u);

    // The same exchange announcing again replaces what it announced.
    EXPECT_EQ(ValuesAfter(endpoint, "exchange-82", "15.18"), v15);
}

TEST_F(ServiceTest, FiftyConcurrentClientsAllSucceed)
{
    auto service = Start({"--workers", "8"});
    const std::string endpoint = service->Endpoint();
    std::atomic<int> failures{0};
    std::mutex mutex;
    std::string firstFailure;
    std::vector<std::thread> clients;
    for (int client = 0; client < 50; ++client)
        clients.emplace_back([&, client] {
            for (int round = 0; round < 4; ++round) {
                const std::string failure =
                    FullExchange(endpoint, "client-" + std::to_string(client) + "-" + std::to_string(round));
                if (!failure.empty()) {
                    ++failures;
                    std::lock_guard<std::mutex> lock(mutex);
                    if (firstFailure.empty())
                        firstFailure = failure;
                }
            }
        });
    for (std::thread& t : clients)
        t.join();
    EXPECT_EQ(failures, 0) << firstFailure << "\n" << ReadFileBytes(folder.file("service.err"));
    EXPECT_EQ(service->Stop(), 0);
    EXPECT_EQ(Lines(ReadFileBytes(folder.file("access.log"))).size(), 50u * 4 * 3);
}

TEST_F(ServiceTest, OversizedAndMalformedRequestsDoNoHarm)
{
    auto service = Start();
    const std::string auth = std::string(serviceUserId) + ":" + serviceSecret;
    const PostAnswer big = Post(service->Endpoint(), std::string(1024 * 1024, 'a'), certificate.certificateFile, auth);
    EXPECT_TRUE(big.status == 413 || big.status == 0) << "1 MiB body: " << big.status;

    for (const char* body : {"garbage", "<x/>"}) {
        const PostAnswer garbage = Post(service->Endpoint(), body, certificate.certificateFile, auth);
        EXPECT_EQ(garbage.status, 500) << body << ": " << garbage.error;
        EXPECT_NE(garbage.body.find("<faultcode>SOAP-ENV:Client</faultcode>"), std::string::npos) << garbage.body;
    }
    // A message cut short ends the connection; it is not waited for.
    const PostAnswer cut = Post(service->Endpoint(), "<?xml version=\"1.0\"?><SOAP-ENV:Envelope", certificate.certificateFile, auth);
    EXPECT_EQ(cut.status, 0);

    const PostAnswer array = Post(service->Endpoint(),
                                  "<?xml version=\"1.0\"?><SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/"
                                  "soap/envelope/\"><SOAP-ENV:Body><ns2:validateUser xmlns:ns2=\"" +
                                      std::string(serviceNamespace) + "\"><params>" +
                                      std::string(60000, 'A') + "</params></ns2:validateUser></SOAP-ENV:Body>"
                                                                    "</SOAP-ENV:Envelope>",
                                  certificate.certificateFile, auth);
    EXPECT_EQ(array.status, 200) << "a 60 kB body is within the limit";

    EXPECT_EQ(FullExchange(service->Endpoint(), "after"), "");
    EXPECT_TRUE(service->Running());

    // A body without exactly one length is answered at once, before any of it is waited for:
    // the client keeps its side open, and an answer only after the deadline would be none.
    // Framing is the same with TLS; plain HTTP keeps the client short.
    ServiceProcess plain({"--listen", "127.0.0.1:0", "--plain-http", "--access-log", "/dev/null"}, folder.file("plain.err"));
    ASSERT_TRUE(plain.Ready());
    const std::string start = "POST /authws/services/AuthenticationService?wsdl HTTP/1.1\r\nHost: localhost\r\n";
    const std::string lengthRequired = "HTTP/1.1 411 Length Required\r\nContent-Type: text/plain\r\nContent-Length: 38\r\n"
                                       "Connection: close\r\n\r\nA request body needs a Content-Length\n";
    const std::string badRequest = "HTTP/1.1 400 Bad Request\r\nContent-Type: text/plain\r\nContent-Length: 78\r\n"
                                   "Connection: close\r\n\r\nSend a request body with one Content-Length, not "
                                   "chunked and not with several\n";
    const struct
    {
        const char* description;
        std::string request;
        const std::string& answer;
    } framings[] = {
        {"chunked", start + "Transfer-Encoding: chunked\r\n\r\n5\r\n<x/>\n\r\n", badRequest},
        {"chunked, with a length too", start + "Content-Length: 4\r\nTransfer-Encoding: chunked\r\n\r\n<x/>", badRequest},
        {"no length", start + "\r\n<x/>", lengthRequired},
        {"two lengths, the first smaller", start + "Content-Length: 4\r\ncontent-length: 400\r\n\r\n<x/>", badRequest},
        {"two equal lengths", start + "Content-Length: 4\r\nContent-Length: 4\r\n\r\n<x/>", badRequest},
    };
    for (const auto& c : framings) {
        const int s = ConnectFrom("127.0.0.1", plain.Port());
        ASSERT_GE(s, 0);
        timeval limit{3, 0};
        setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        ASSERT_EQ(send(s, c.request.data(), c.request.size(), MSG_NOSIGNAL), static_cast<ssize_t>(c.request.size()));
        std::string answer;
        char chunk[4096];
        for (ssize_t got; (got = recv(s, chunk, sizeof chunk, 0)) > 0;)
            answer.append(chunk, static_cast<std::size_t>(got));
        close(s);
        EXPECT_EQ(answer, c.answer) << c.description;
    }
}

TEST_F(ServiceTest, SilentClientsDoNotTakeTheWorkers)
{
    auto service = Start({"--workers", "1", "--max-pending", "16"});
    std::vector<int> sockets;
    for (int i = 0; i < 20; ++i) {
        const int s = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(service->Port()));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        sockets.push_back(s);
    }
    // The service closes a silent client after 10 s; an exchange that had to wait behind
    // them would hit this 5 s limit.
    auto proxy = MakeClient(service->Endpoint());
    proxy->transfer_timeout = 5;
    char* text = nullptr;
    EXPECT_EQ(proxy->testWebService(&text), SOAP_OK);
    // Sixteen waiting places: the silent ones beyond them, and the one the exchange took, were
    // pushed out (the oldest first).
    int closed = 0;
    for (int s : sockets) {
        pollfd waiting{s, POLLIN, 0};
        char byte;
        closed += poll(&waiting, 1, 0) == 1 && recv(s, &byte, 1, MSG_DONTWAIT) <= 0 ? 1 : 0;
        close(s);
    }
    EXPECT_GE(closed, 5);
    EXPECT_LE(closed, 8);
}

// Clients that keep their connection open after the answer: the service closes its side at
// once, and the one worker is free for the next client, instead of waiting for each to close.
TEST_F(ServiceTest, ClientsThatStayConnectedAfterTheAnswerHoldNothing)
{
    auto service = Start({"--workers", "1"});
    const std::string body = "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\" "
                             "xmlns:ns2=\"urn:norvane:pelloran:tuning\"><SOAP-ENV:Body><ns2:testWebService/>"
                             "</SOAP-ENV:Body></SOAP-ENV:Envelope>";
    const std::string request = "POST /authws/services/AuthenticationService HTTP/1.1\r\nHost: localhost\r\n"
                                "Authorization: Basic " + Credentials() + "\r\nContent-Type: text/xml\r\n"
                                "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> context(SSL_CTX_new(TLS_client_method()), SSL_CTX_free);
    std::vector<std::unique_ptr<SSL, decltype(&SSL_free)>> held;
    std::vector<int> sockets;
    for (int i = 0; i < 3; ++i) {
        const auto start = std::chrono::steady_clock::now();
        const int s = ConnectFrom("127.0.0.1", service->Port());
        ASSERT_GE(s, 0);
        sockets.push_back(s);
        timeval limit{8, 0};
        setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        held.emplace_back(SSL_new(context.get()), SSL_free);
        SSL* ssl = held.back().get();
        SSL_set_fd(ssl, s);
        ASSERT_EQ(SSL_connect(ssl), 1);
        ASSERT_EQ(SSL_write(ssl, request.data(), static_cast<int>(request.size())), static_cast<int>(request.size()));
        std::string answer;
        char chunk[4096];
        for (int got; (got = SSL_read(ssl, chunk, sizeof chunk)) > 0;)
            answer.append(chunk, static_cast<std::size_t>(got));
        EXPECT_EQ(answer.rfind("HTTP/1.1 200 OK", 0), 0u) << answer;
        // After close_notify the connection's end, while this client still holds it open.
        EXPECT_EQ(recv(s, chunk, sizeof chunk, 0), 0);
        const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
        EXPECT_LT(took.count(), 2000) << "client " << i;
    }
    for (int s : sockets)
        close(s);
}

// Connections that hold places without making requests, from another address than the good
// client's: the good client's exchanges all go through, quickly.
TEST_F(ServiceTest, AbusiveClientsDoNotHoldUpAGoodOne)
{
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = files.rlim_max; // 600 connections on this side too
    setrlimit(RLIMIT_NOFILE, &files);
    const struct
    {
        const char* description;
        Abuse abuse;
        int connections;
        int millisecondsPerByte;
        int addresses;
    } cases[] = {
        {"slow TLS hellos", Abuse::SlowHandshake, 100, 200, 1},
        {"slow request headers", Abuse::SlowHeader, 100, 200, 1},
        // Bodies without one length used to be read by the workers, outside the deadline.
        {"slow request bodies", Abuse::SlowBody, 16, 1000, 1},
        {"silent connections filling every waiting place", Abuse::Silent, 600, 1000, 1},
        // Each has sent a byte, and places are one table whichever front loop accepts.
        {"slow TLS hellos filling every waiting place from 20 addresses", Abuse::SlowHandshake, 600, 100, 20},
    };
    for (const auto& c : cases) {
        // A short deadline, so that the abusers are closed and come back during the test.
        auto service = Start({"--request-deadline", "2"});
        std::vector<std::unique_ptr<AbusiveClients>> groups;
        for (int i = 0; i < c.addresses; ++i)
            groups.push_back(std::make_unique<AbusiveClients>(c.abuse, service->Port(), c.connections / c.addresses,
                                                              std::chrono::milliseconds(c.millisecondsPerByte),
                                                              "127.0.0." + std::to_string(10 + i)));
        std::this_thread::sleep_for(std::chrono::seconds(1));
        for (int i = 0; i < 6; ++i) {
            const auto start = std::chrono::steady_clock::now();
            EXPECT_EQ(FullExchange(service->Endpoint(), "good-" + std::to_string(i)), "") << c.description;
            // Held up, one of its three calls would wait for an abuser's 2 s deadline; a busy
            // machine alone has taken an unhindered exchange past 1 s.
            EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500)) << c.description;
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
        }
        int closed = 0;
        for (const auto& group : groups)
            closed += group->Closed();
        EXPECT_GT(closed, 0) << c.description << ": the deadline or newer clients closed some";
        EXPECT_TRUE(service->Running()) << c.description;
    }
}

TEST_F(ServiceTest, PerAddressLimitsAreRefusedClearlyAndTouchNoOtherAddress)
{
    auto service = Start({"--limit-exempt", "none", "--connections-per-address", "2", "--announcements-per-minute", "3"});
    const std::string auth = std::string(serviceUserId) + ":" + serviceSecret;
    const std::string test = RequestDocument("testWebService", {}, false);

    // A connection counts until the service has closed its side, a moment after the client
    // has gone or the answer is out; a busy machine can still be counting the last ones.
    const auto postWhenPlaceIsFree = [&](const std::string& document) {
        PostAnswer answer;
        for (int attempt = 0; attempt < 50; ++attempt) {
            answer = Post(service->Endpoint(), document, certificate.certificateFile, auth, "127.0.0.2");
            if (answer.status != 429)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return answer;
    };

    std::vector<int> held = {ConnectFrom("127.0.0.2", service->Port()), ConnectFrom("127.0.0.2", service->Port())};
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const PostAnswer third = Post(service->Endpoint(), test, certificate.certificateFile, auth, "127.0.0.2");
    EXPECT_EQ(third.status, 429) << third.error;
    EXPECT_EQ(third.body, "Too many connections from this address\n");
    EXPECT_NE(third.headers.find("Retry-After: 60"), std::string::npos) << third.headers;
    EXPECT_EQ(Post(service->Endpoint(), test, certificate.certificateFile, auth, "127.0.0.3").status, 200);
    for (int s : held)
        close(s);
    EXPECT_EQ(postWhenPlaceIsFree(test).status, 200) << "places given back";

    for (int i = 0; i < 4; ++i) {
        const PostAnswer answer = postWhenPlaceIsFree(
            RequestDocument("validateUser", Announcement("limited-" + std::to_string(i), "15.4"), true));
        if (i < 3) {
            EXPECT_NE(answer.body.find("<validateUserReturn>0</validateUserReturn>"), std::string::npos) << answer.body;
        } else {
            EXPECT_EQ(answer.status, 500);
            EXPECT_NE(answer.body.find("<faultstring>Too many announcements from this address: at most 3 a minute"
                                       "</faultstring>"),
                      std::string::npos)
                << answer.body;
        }
    }
    // Three calls one after another from 127.0.0.1, under the same limit of two: on a busy
    // machine the service may still be counting the first when the third comes.
    std::string failure = FullExchange(service->Endpoint(), "from-another-address");
    for (int attempt = 0; attempt < 50 && failure.find("429") != std::string::npos; ++attempt) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        failure = FullExchange(service->Endpoint(), "from-another-address-" + std::to_string(attempt));
    }
    EXPECT_EQ(failure, "");
    const std::string log = ReadFileBytes(folder.file("access.log"));
    EXPECT_NE(log.find("127.0.0.2 - - ["), std::string::npos);
    EXPECT_NE(log.find("\"POST /authws/services/AuthenticationService?wsdl HTTP/1.1\" 429 39"), std::string::npos) << log;
}

TEST_F(ServiceTest, HealthAndMetricsOnTheAdminAddressOnly)
{
    const int adminPort = FreePort();
    auto service = Start({"--admin-listen", "127.0.0.1:" + std::to_string(adminPort)});
    const std::string admin = "http://127.0.0.1:" + std::to_string(adminPort);
    EXPECT_EQ(FullExchange(service->Endpoint(), "counted"), "");
    // A client that is no TLS client, and a wrong password.
    const int garbage = ConnectFrom("127.0.0.1", service->Port());
    ASSERT_EQ(send(garbage, "GET / HTTP/1.0\r\n\r\n", 18, 0), 18);
    char byte;
    recv(garbage, &byte, 1, 0); // the service's alert or close
    close(garbage);
    EXPECT_EQ(Post(service->Endpoint(), RequestDocument("testWebService", {}, false), certificate.certificateFile,
                   "someone:else").status, 401);

    const PostAnswer health = Get(admin + "/healthz");
    EXPECT_EQ(health.status, 200) << health.error;
    EXPECT_EQ(health.body, "ok\n");
    for (const Abuse abuse : {Abuse::Silent, Abuse::SlowPlainHeader}) {
        // Clients keeping silent or trickling their request to the admin address hold none of
        // the checks up, and each has one deadline for its whole request, however steadily its
        // bytes come.
        AbusiveClients slow(abuse, adminPort, 50, std::chrono::milliseconds(100));
        for (int i = 0; i < 200 && slow.Open() < 50; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ASSERT_EQ(slow.Open(), 50);
        for (int i = 0; i < 5 && slow.Closed() == 0; ++i) {
            const auto start = std::chrono::steady_clock::now();
            const PostAnswer check = Get(admin + "/healthz");
            EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
            EXPECT_EQ(check.status, 200) << check.error;
        }
        EXPECT_EQ(slow.Closed(), 0) << "the checks were answered while all 50 were connected";
        for (int i = 0; i < 100 && slow.Closed() == 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_GT(slow.Closed(), 0);
    }
    // A call is counted once its answer has gone out, so the last ones may still be on
    // their way into the figures: ask until they are there.
    PostAnswer metrics = Get(admin + "/metrics");
    for (int round = 0; round < 100; ++round) {
        if (metrics.body.find("pelloran_request_duration_seconds_count 4\n") != std::string::npos
            && metrics.body.find("pelloran_tls_handshake_failures_total 1\n") != std::string::npos)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        metrics = Get(admin + "/metrics");
    }
    EXPECT_EQ(metrics.status, 200);
    EXPECT_NE(metrics.headers.find("Content-Type: text/plain; version=0.0.4"), std::string::npos) << metrics.headers;
    for (const char* line : {"pelloran_requests_total{operation=\"getQuorvelInfo\",outcome=\"ok\"} 1\n",
                             "pelloran_requests_total{operation=\"testWebService\",outcome=\"ok\"} 1\n",
                             "pelloran_requests_total{operation=\"none\",outcome=\"unauthorized\"} 1\n", // refused before the body
                             "pelloran_requests_total{operation=\"validateUser\",outcome=\"ok\"} 1\n",
                             "pelloran_validate_user_verdicts_total{verdict=\"0\"} 1\n",
                             "pelloran_tls_handshake_failures_total 1\n",
                             "pelloran_request_duration_seconds_bucket{le=\"+Inf\"} 4\n",
                             "pelloran_request_duration_seconds_count 4\n",
                             "# TYPE pelloran_request_duration_seconds histogram\n",
                             "pelloran_remembered_announcements 1\n",
                             "pelloran_state_store_up 1\n",
                             "pelloran_state_store_errors_total 0\n"})
        EXPECT_NE(metrics.body.find(line), std::string::npos) << line << "\nin\n" << metrics.body;
    EXPECT_EQ(Get(admin + "/other").status, 404);

    // Not on the public port, nor at all without the option.
    EXPECT_EQ(Get("https://127.0.0.1:" + std::to_string(service->Port()) + "/metrics", certificate.certificateFile)
                  .body.find("pelloran_requests_total"),
              std::string::npos);
    EXPECT_EQ(service->Stop(), 0);
    EXPECT_EQ(Get(admin + "/healthz").status, 0) << "nothing else listens there";
}

TEST_F(ServiceTest, InstancesShareExchangesThroughRedisAndRideOutItsAbsence)
{
    // Without a shared store, an exchange split over two instances cannot work.
    {
        auto a = Start(), b = Start();
        EXPECT_NE(FullExchange(a->Endpoint(), "split-alone", "15.4", b->Endpoint())
                      .find("Unknown or expired exchange"),
                  std::string::npos);
    }
    RedisProcess redis(folder.path());
    ASSERT_TRUE(redis.Start()) << ReadFileBytes(folder.file("redis.log"));
    const int adminPort = FreePort();
    auto a = Start({"--state", redis.State(), "--admin-listen", "127.0.0.1:" + std::to_string(adminPort)});
    auto b = Start({"--state", redis.State() + "?db=0"});
    const std::string health = "http://127.0.0.1:" + std::to_string(adminPort) + "/healthz";
    EXPECT_EQ(FullExchange(a->Endpoint(), "split-1", "15.4", b->Endpoint()), "");
    EXPECT_EQ(FullExchange(b->Endpoint(), "split-2", "15.4", a->Endpoint()), "");
    EXPECT_EQ(Get(health).status, 200);
    EXPECT_NE(Get("http://127.0.0.1:" + std::to_string(adminPort) + "/metrics").body.find("pelloran_remembered_announcements 2\n"),
              std::string::npos);

    redis.Stop();
    const std::string unavailable = "The service is unavailable: try again in a minute";
    EXPECT_NE(FullExchange(a->Endpoint(), "split-3").find(unavailable), std::string::npos);
    EXPECT_EQ(Get(health).status, 503);
    EXPECT_EQ(Get(health).body, "unavailable: the store of announcements cannot be reached\n");
    auto proxy = MakeClient(b->Endpoint());
    char* text = nullptr;
    EXPECT_EQ(proxy->testWebService(&text), SOAP_OK) << "what needs no store still works";

    ASSERT_TRUE(redis.Start());
    std::string failure = "not tried";
    for (int attempt = 0; attempt < 30 && !failure.empty(); ++attempt) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        failure = FullExchange(a->Endpoint(), "split-4-" + std::to_string(attempt), "15.4", b->Endpoint());
    }
    EXPECT_EQ(failure, "") << "recovered by itself";
    EXPECT_EQ(Get(health).status, 200);
    EXPECT_TRUE(a->Running() && b->Running());

    // Reached but refusing: a value the service did not write where it keeps its total, and a
    // read-only replica, as after a fail-over. Each call fails with the unavailable fault, the
    // check says so, and the failures are counted but logged at most every ten seconds.
    const int otherAdmin = FreePort();
    auto c = Start({"--state", redis.State(), "--admin-listen", "127.0.0.1:" + std::to_string(otherAdmin)}, "c.err");
    const std::string otherHealth = "http://127.0.0.1:" + std::to_string(otherAdmin) + "/healthz";
    redisContext* direct = redisConnectUnix(redis.SocketPath().c_str());
    ASSERT_TRUE(direct != nullptr && direct->err == 0);
    const std::string nowhere = std::to_string(FreePort());
    const struct
    {
        const char* description;
        std::vector<std::string> breaking, mending;
    } refusals[] = {
        {"a foreign total", {"SET", "pelloran:total", "lots"}, {"DEL", "pelloran:total"}},
        {"a read-only replica", {"REPLICAOF", "127.0.0.1", nowhere}, {"REPLICAOF", "NO", "ONE"}},
    };
    auto run = [&](const std::vector<std::string>& command) {
        std::vector<const char*> texts;
        for (const std::string& text : command)
            texts.push_back(text.c_str());
        freeReplyObject(redisCommandArgv(direct, static_cast<int>(texts.size()), texts.data(), nullptr));
    };
    for (const auto& r : refusals) {
        run(r.breaking);
        for (int i = 0; i < 10; ++i)
            EXPECT_NE(FullExchange(c->Endpoint(), "refused-" + std::to_string(i)).find(unavailable), std::string::npos)
                << r.description;
        const PostAnswer check = Get(otherHealth);
        EXPECT_EQ(check.status, 503) << r.description;
        EXPECT_EQ(check.body, "unavailable: the store of announcements cannot be written\n") << r.description;
        run(r.mending);
        EXPECT_EQ(Get(otherHealth).status, 200) << r.description;
        EXPECT_EQ(FullExchange(c->Endpoint(), std::string("mended-") + r.description), "") << r.description;
    }
    redisFree(direct);
    const std::string metrics = Get("http://127.0.0.1:" + std::to_string(otherAdmin) + "/metrics").body;
    std::smatch errors;
    ASSERT_TRUE(std::regex_search(metrics, errors, std::regex("\npelloran_state_store_errors_total (\\d+)\n"))) << metrics;
    EXPECT_GE(std::stoi(errors[1]), 20) << "a failed announcement each";
    const auto lines = Lines(ReadFileBytes(folder.file("c.err")));
    EXPECT_LE(lines.size(), 3u) << ReadFileBytes(folder.file("c.err"));
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0].rfind("pelloran-service: unix:" + redis.SocketPath() + ", database 0 refused a command: ", 0), 0u)
        << lines[0];
}

// A program serving on a loopback TCP port (a balancer, a sentinel), started with `command` and
// stopped when destroyed.
class PortServer
{
public:
    PortServer(const std::vector<std::string>& command, int port, const std::string& log)
    {
        pid = fork();
        if (pid == 0) {
            const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            dup2(out, 1);
            dup2(out, 2);
            std::vector<char*> arguments;
            for (const std::string& argument : command)
                arguments.push_back(const_cast<char*>(argument.c_str()));
            arguments.push_back(nullptr);
            execvp(arguments[0], arguments.data());
            _exit(127);
        }
        for (int i = 0; i < 200 && !ready; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            const int s = ConnectFrom("127.0.0.1", port);
            ready = s >= 0;
            if (s >= 0)
                close(s);
        }
    }
    ~PortServer()
    {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }
    bool Ready() const { return ready; }

private:
    pid_t pid = -1;
    bool ready = false;
};

// HAProxy in TCP mode (TLS passes through to the instances), round robin, each instance
// checked on its /healthz; started on a free loopback port, stopped when destroyed.
// `serverOptions` go on every server line ("send-proxy-v2").
class LoadBalancer
{
public:
    LoadBalancer(const std::string& folder, const std::vector<std::pair<int, int>>& servicesAndAdmins,
                 const std::string& serverOptions = "")
    {
        port = FreePort();
        std::string config = "global\n    maxconn 1000\n"
                             "defaults\n    mode tcp\n    timeout connect 1s\n    timeout client 30s\n"
                             "    timeout server 30s\n    retries 2\n    option redispatch\n"
                             "frontend tuning\n    bind 127.0.0.1:" + std::to_string(port) + "\n"
                             "    default_backend instances\n"
                             "backend instances\n    balance roundrobin\n    option httpchk GET /healthz\n"
                             "    http-check expect status 200\n    default-server inter 200ms fall 2 rise 2\n";
        for (std::size_t i = 0; i < servicesAndAdmins.size(); ++i)
            config += "    server instance" + std::to_string(i) + " 127.0.0.1:" +
                      std::to_string(servicesAndAdmins[i].first) + " check port " +
                      std::to_string(servicesAndAdmins[i].second) + " " + serverOptions + "\n";
        WriteFileBytes(folder + "/haproxy.cfg", config);
        haproxy = std::make_unique<PortServer>(
            std::vector<std::string>{"/usr/sbin/haproxy", "-db", "-f", folder + "/haproxy.cfg"}, port,
            folder + "/haproxy.log");
        std::this_thread::sleep_for(std::chrono::milliseconds(600)); // the first health checks
    }
    bool Ready() const { return haproxy->Ready(); }
    std::string Endpoint() const
    {
        return "https://localhost:" + std::to_string(port) + "/authws/services/AuthenticationService?wsdl";
    }

private:
    int port = 0;
    std::unique_ptr<PortServer> haproxy;
};

// Full exchanges one after another from a thread of their own until Finish.
class SteadyLoad
{
public:
    struct Outcome
    {
        std::chrono::steady_clock::time_point start;
        std::string id, failure;
    };
    SteadyLoad(const std::string& endpoint, const std::string& prefix)
        : thread([this, endpoint, prefix] {
              for (int i = 0; !stop; ++i) {
                  Outcome outcome{std::chrono::steady_clock::now(), prefix + std::to_string(i), ""};
                  outcome.failure = FullExchange(endpoint, outcome.id);
                  std::lock_guard<std::mutex> lock(mutex);
                  outcomes.push_back(outcome);
              }
          })
    {
    }
    ~SteadyLoad() { Finish(); }
    const std::vector<Outcome>& Finish()
    {
        stop = true;
        if (thread.joinable())
            thread.join();
        return outcomes;
    }

private:
    std::atomic<bool> stop{false};
    std::mutex mutex;
    std::vector<Outcome> outcomes;
    std::thread thread;
};

TEST_F(ServiceTest, BehindHaproxyAnyInstanceServesAndOneKilledIsRiddenOut)
{
    if (access("/usr/sbin/haproxy", X_OK) != 0)
        GTEST_SKIP() << "haproxy is not installed";
    RedisProcess redis(folder.path());
    ASSERT_TRUE(redis.Start());
    // Round robin sends the three calls of an exchange to alternating instances: without the
    // shared store the values are asked where nothing was announced.
    for (const bool shared : {false, true}) {
        const int adminA = FreePort();
        int adminB = FreePort();
        while (adminB == adminA)
            adminB = FreePort();
        std::vector<std::string> state;
        if (shared)
            state = {"--state", redis.State()};
        auto withAdmin = [&](int admin) {
            std::vector<std::string> arguments = state;
            arguments.insert(arguments.end(), {"--admin-listen", "127.0.0.1:" + std::to_string(admin)});
            return arguments;
        };
        auto a = Start(withAdmin(adminA));
        auto b = Start(withAdmin(adminB));
        LoadBalancer balancer(folder.path(), {{a->Port(), adminA}, {b->Port(), adminB}});
        ASSERT_TRUE(balancer.Ready()) << ReadFileBytes(folder.file("haproxy.log"));
        int failed = 0;
        for (int i = 0; i < 4; ++i)
            failed += FullExchange(balancer.Endpoint(), "balanced-" + std::to_string(shared) + std::to_string(i)).empty() ? 0 : 1;
        if (!shared) {
            EXPECT_GT(failed, 0) << "an exchange split over two instances needs the shared store";
            continue;
        }
        EXPECT_EQ(failed, 0);

        // A steady load of full exchanges; one instance killed in the middle.
        SteadyLoad load(balancer.Endpoint(), "load-");
        std::this_thread::sleep_for(std::chrono::seconds(1));
        const auto killed = std::chrono::steady_clock::now();
        EXPECT_EQ(a->Stop(SIGKILL), 128 + SIGKILL);
        std::this_thread::sleep_for(std::chrono::seconds(3));
        // Marked down after two failed checks 200 ms apart; a second is ample.
        const auto markedDown = killed + std::chrono::seconds(1);
        int before = 0, after = 0;
        for (const SteadyLoad::Outcome& outcome : load.Finish()) {
            if (outcome.start < killed && outcome.failure.empty()) {
                ++before;
                auto proxy = MakeClient(balancer.Endpoint());
                Params request(ValuesRequestTexts(outcome.id));
                ns2__getQuorvelInfoResponse response;
                EXPECT_EQ(proxy->getQuorvelInfo(request.get(), response), SOAP_OK)
                    << outcome.id << " announced before the kill is still there";
            } else if (outcome.start >= markedDown) {
                ++after;
                EXPECT_EQ(outcome.failure, "") << outcome.id;
            }
        }
        EXPECT_GT(before, 0);
        EXPECT_GT(after, 0);

        redis.Stop();
        EXPECT_NE(FullExchange(balancer.Endpoint(), "redis-down").find("The service is unavailable"), std::string::npos);
        ASSERT_TRUE(redis.Start());
        // Back once the store's quiet second is over and the checks have seen it twice.
        std::string failure = "not tried";
        for (int attempt = 0; attempt < 50 && !failure.empty(); ++attempt) {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            failure = FullExchange(balancer.Endpoint(), "redis-back-" + std::to_string(attempt));
        }
        EXPECT_EQ(failure, "") << "recovered by itself";
        EXPECT_TRUE(b->Running());
    }
}

TEST_F(ServiceTest, BehindHaproxySendingProxyHeadersEachClientIsItself)
{
    if (access("/usr/sbin/haproxy", X_OK) != 0)
        GTEST_SKIP() << "haproxy is not installed";
    const int adminPort = FreePort();
    const std::string admin = "http://127.0.0.1:" + std::to_string(adminPort);
    auto service = Start({"--proxy-protocol-from", "127.0.0.1", "--limit-exempt", "none", "--announcements-per-minute",
                          "2", "--admin-listen", "127.0.0.1:" + std::to_string(adminPort)});
    LoadBalancer balancer(folder.path(), {{service->Port(), adminPort}}, "send-proxy-v2");
    ASSERT_TRUE(balancer.Ready()) << ReadFileBytes(folder.file("haproxy.log"));
    const std::string auth = std::string(serviceUserId) + ":" + serviceSecret;
    const auto announce = [&](const std::string& source, int i) {
        return Post(balancer.Endpoint(), RequestDocument("validateUser", Announcement(source + std::to_string(i), "15.4"), true),
                    certificate.certificateFile, auth, source)
            .body;
    };
    for (int i = 0; i < 3; ++i) {
        const std::string answer = announce("127.0.0.2", i);
        const bool remembered = answer.find("<validateUserReturn>0</validateUserReturn>") != std::string::npos;
        EXPECT_EQ(remembered, i < 2) << i << ": " << answer;
    }
    EXPECT_NE(announce("127.0.0.3", 0).find("<validateUserReturn>0</validateUserReturn>"), std::string::npos)
        << "another client has limits of its own";
    // A request is logged just after its answer has gone out.
    std::string log;
    for (int i = 0; i < 50 && log.find("127.0.0.3 - - [") == std::string::npos; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        log = ReadFileBytes(folder.file("access.log"));
    }
    EXPECT_NE(log.find("127.0.0.2 - - ["), std::string::npos) << log;
    EXPECT_NE(log.find("127.0.0.3 - - ["), std::string::npos) << log;
    EXPECT_EQ(log.find("127.0.0.1 - - ["), std::string::npos) << "never the balancer: " << log;

    // A header from an address not named is no header: the TLS handshake fails on it.
    const auto handshakeFailures = [&] {
        std::smatch count;
        const std::string metrics = Get(admin + "/metrics").body;
        return std::regex_search(metrics, count, std::regex("\npelloran_tls_handshake_failures_total (\\d+)\n"))
                   ? std::stoi(count[1])
                   : -1;
    };
    const int failedBefore = handshakeFailures();
    const int claiming = ConnectFrom("127.0.0.2", service->Port());
    const std::string claim = "PROXY TCP4 192.0.2.7 127.0.0.1 1234 443\r\n";
    ASSERT_EQ(send(claiming, claim.data(), claim.size(), 0), static_cast<ssize_t>(claim.size()));
    char chunk[256];
    while (recv(claiming, chunk, sizeof chunk, 0) > 0) {
    }
    close(claiming);
    // From the named balancer's address without a header, the connection is closed unanswered.
    const PostAnswer bare = Post(service->Endpoint(), RequestDocument("testWebService", {}, false),
                                 certificate.certificateFile, auth, "127.0.0.1");
    EXPECT_EQ(bare.status, 0);
    const std::string metrics = Get(admin + "/metrics").body;
    EXPECT_NE(metrics.find("pelloran_connections_refused_total{reason=\"proxy_header\"} 1\n"), std::string::npos) << metrics;
    EXPECT_EQ(handshakeFailures(), failedBefore + 1);
    EXPECT_EQ(ReadFileBytes(folder.file("access.log")).find("192.0.2.7"), std::string::npos);
}

TEST_F(ServiceTest, BehindHaproxyAnInstanceStoppedAndStartedAgainLosesNoExchange)
{
    if (access("/usr/sbin/haproxy", X_OK) != 0)
        GTEST_SKIP() << "haproxy is not installed";
    RedisProcess redis(folder.path());
    ASSERT_TRUE(redis.Start());
    const int adminA = FreePort();
    int adminB = FreePort();
    while (adminB == adminA)
        adminB = FreePort();
    auto arguments = [&](int admin) {
        return std::vector<std::string>{"--state", redis.State(), "--admin-listen", "127.0.0.1:" + std::to_string(admin),
                                        "--drain-seconds", "5"};
    };
    auto a = Start(arguments(adminA), "a.err");
    auto b = Start(arguments(adminB), "b.err");
    const int portA = a->Port();
    LoadBalancer balancer(folder.path(), {{portA, adminA}, {b->Port(), adminB}});
    ASSERT_TRUE(balancer.Ready()) << ReadFileBytes(folder.file("haproxy.log"));

    SteadyLoad load(balancer.Endpoint(), "restart-");
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const auto stopped = std::chrono::steady_clock::now();
    EXPECT_EQ(a->Stop(SIGTERM), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - stopped, std::chrono::seconds(5)) << "within the drain time";
    std::this_thread::sleep_for(std::chrono::seconds(1));
    std::vector<std::string> again = arguments(adminA);
    again.insert(again.end(), {"--listen", "127.0.0.1:" + std::to_string(portA)});
    a = Start(again, "a.err");
    std::this_thread::sleep_for(std::chrono::seconds(2)); // back in after two good checks
    const auto& outcomes = load.Finish();
    for (const SteadyLoad::Outcome& outcome : outcomes)
        EXPECT_EQ(outcome.failure, "") << outcome.id;
    EXPECT_GT(outcomes.size(), 10u);
    const std::string log = ReadFileBytes(folder.file("haproxy.log"));
    const std::size_t down = log.find("instance0 is DOWN");
    EXPECT_NE(down, std::string::npos) << "its health check failed at the stop: " << log;
    EXPECT_NE(log.find("instance0 is UP", down), std::string::npos) << "and it came back: " << log;
}

TEST_F(ServiceTest, RedisKeepsDigestsThatExpireAndOneClientCannotPushOutAnother)
{
    RedisProcess redis(folder.path());
    ASSERT_TRUE(redis.Start());
    RedisLocation location;
    std::string error;
    ASSERT_TRUE(ParseRedisLocation(redis.State(), location, error)) << error;
    ExchangeRedis store(location, std::chrono::seconds(900), 5);
    AnnouncedProfile profile;
    profile.version = {15, 4};
    profile.processorCount = 8;
    ASSERT_TRUE(store.Remember("192.0.2.1", "other", profile));
    for (int i = 0; i < 10; ++i)
        ASSERT_TRUE(store.Remember("192.0.2.2", "flood-" + std::to_string(i), AnnouncedProfile{}));
    EXPECT_EQ(store.Size(), 5u);
    const Recollection other = store.Recall("other");
    ASSERT_TRUE(other.reachable && other.profile);
    EXPECT_EQ(other.profile->version.minor, 4);
    EXPECT_EQ(other.profile->processorCount, 8);
    EXPECT_FALSE(store.Recall("flood-5").profile);
    EXPECT_TRUE(store.Recall("flood-6").profile);
    EXPECT_TRUE(store.Recall("flood-9").profile);

    // Keys hold the identifier's digest only, and expire by themselves.
    redisContext* direct = redisConnectUnix(redis.SocketPath().c_str());
    ASSERT_TRUE(direct != nullptr && direct->err == 0);
    auto* keys = static_cast<redisReply*>(redisCommand(direct, "KEYS pelloran:exchange:*"));
    ASSERT_EQ(keys->elements, 5u);
    for (std::size_t i = 0; i < keys->elements; ++i) {
        const std::string key(keys->element[i]->str, keys->element[i]->len);
        EXPECT_EQ(key.size(), std::string("pelloran:exchange:").size() + 32);
        EXPECT_EQ(key.find("flood"), std::string::npos);
        auto* ttl = static_cast<redisReply*>(redisCommand(direct, "TTL %b", key.data(), key.size()));
        EXPECT_GT(ttl->integer, 890);
        EXPECT_LE(ttl->integer, 900);
        freeReplyObject(ttl);
    }
    freeReplyObject(keys);
    redisFree(direct);

    for (const char* wrong : {"redis://", "redis://host:0/1", "redis://host:6379/16", "unix:relative.sock",
                              "unix:/run/redis.sock?database=1", "http://host", "redis://alice@host", "redis://:@host",
                              "redis://:pass%4@host", "redis://:pass@", "redis-sentinel://host", "redis-sentinel://host/",
                              "redis-sentinel:///master", "redis-sentinel://h1,,h2/master", "redis-sentinel://host/my master",
                              "redis-sentinel://host/master/16"})
        EXPECT_FALSE(ParseRedisLocation(wrong, location, error)) << wrong;
    ASSERT_TRUE(ParseRedisLocation("redis-sentinel://:pw@10.0.0.1,10.0.0.2:26380,[::1]/main-1/2", location, error));
    EXPECT_EQ(location.sentinels, (std::vector<std::pair<std::string, int>>{{"10.0.0.1", 26379}, {"10.0.0.2", 26380}, {"::1", 26379}}));
    EXPECT_EQ(location.masterName, "main-1");
    EXPECT_EQ(location.database, 2);
    EXPECT_EQ(location.password, "pw");
    ASSERT_TRUE(ParseRedisLocation("redis://[::1]:6380/3", location, error));
    EXPECT_EQ(location.host, "::1");
    EXPECT_EQ(location.port, 6380);
    EXPECT_EQ(location.database, 3);
    EXPECT_EQ(location.password, "");

    // Credentials, as a password alone or an ACL user's, given to a real Redis over TCP.
    const int port = FreePort();
    mkdir(folder.file("guarded").c_str(), 0700);
    RedisProcess guarded(folder.file("guarded"), {"--port", std::to_string(port), "--bind", "127.0.0.1", "--requirepass", "p@ss:w/rd",
                                         "--user", "alice", "on", ">s3cret", "~pelloran:*", "+@all"});
    ASSERT_TRUE(guarded.Start());
    const std::string where = "@127.0.0.1:" + std::to_string(port);
    const struct
    {
        std::string text, user, password;
        StoreHealth health;
    } credentials[] = {
        {"redis://:p%40ss%3Aw%2Frd" + where, "", "p@ss:w/rd", StoreHealth::Ready},
        {"redis://alice:s3cret" + where + "/2", "alice", "s3cret", StoreHealth::Ready},
        {"redis://alice:wrong" + where, "alice", "wrong", StoreHealth::Unreachable},
    };
    for (const auto& c : credentials) {
        ASSERT_TRUE(ParseRedisLocation(c.text, location, error)) << c.text << ": " << error;
        EXPECT_EQ(location.host, "127.0.0.1") << c.text;
        EXPECT_EQ(location.user, c.user) << c.text;
        EXPECT_EQ(location.password, c.password) << c.text;
        std::vector<std::string> lines;
        ExchangeRedis guardedStore(location, std::chrono::seconds(900), 5,
                                   [&](const std::string& line) { lines.push_back(line); });
        EXPECT_EQ(guardedStore.Check(), c.health) << c.text;
        EXPECT_EQ(guardedStore.Errors(), c.health == StoreHealth::Ready ? 0u : 1u) << c.text;
        if (c.health != StoreHealth::Ready) {
            EXPECT_EQ(lines, std::vector<std::string>{"pelloran-service: redis 127.0.0.1:" + std::to_string(port) +
                                                      ", database 0 refused the credentials: WRONGPASS invalid "
                                                      "username-password pair or user is disabled."})
                << c.text;
        }
    }

    // Over TLS, the server verified by the authority given, by name or by address.
    const Certificate redisCertificate = MakeCertificate(folder.path(), "redis");
    const int tlsPort = FreePort();
    mkdir(folder.file("tls").c_str(), 0700);
    RedisProcess overTls(folder.file("tls"), {"--tls-port", std::to_string(tlsPort), "--bind", "127.0.0.1",
                                              "--tls-cert-file", redisCertificate.certificateFile, "--tls-key-file",
                                              redisCertificate.keyFile, "--tls-ca-cert-file",
                                              redisCertificate.certificateFile, "--tls-auth-clients", "no"});
    ASSERT_TRUE(overTls.Start());
    const struct
    {
        std::string text, authorities;
        StoreHealth health;
        std::string line;
    } tls[] = {
        {"rediss://localhost:" + std::to_string(tlsPort), redisCertificate.certificateFile, StoreHealth::Ready, ""},
        {"rediss://127.0.0.1:" + std::to_string(tlsPort) + "/1", redisCertificate.certificateFile, StoreHealth::Ready, ""},
        {"rediss://127.0.0.1:" + std::to_string(tlsPort), "", StoreHealth::Unreachable,
         "pelloran-service: rediss 127.0.0.1:" + std::to_string(tlsPort) +
             ", database 0 cannot be reached over TLS: its certificate is not trusted: self-signed certificate"},
    };
    for (const auto& c : tls) {
        ASSERT_TRUE(ParseRedisLocation(c.text, location, error)) << c.text << ": " << error;
        EXPECT_TRUE(location.tls);
        location.caFile = c.authorities;
        std::vector<std::string> lines;
        ExchangeRedis tlsStore(location, std::chrono::seconds(900), 5, [&](const std::string& line) { lines.push_back(line); });
        EXPECT_EQ(tlsStore.Check(), c.health) << c.text;
        EXPECT_EQ(lines, c.line.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.line}) << c.text;
        if (c.health == StoreHealth::Ready) {
            ASSERT_TRUE(tlsStore.Remember("192.0.2.1", "over-tls", profile)) << c.text;
            const Recollection recalled = tlsStore.Recall("over-tls");
            ASSERT_TRUE(recalled.profile) << c.text;
            EXPECT_EQ(recalled.profile->processorCount, 8) << c.text;
        }
    }
}

TEST_F(ServiceTest, SighupRenewsTheCertificateUnderLoadAndABrokenPairKeepsTheOld)
{
    const Certificate renewed = MakeCertificate(folder.path(), "renewed");
    // The files the service is given; the renewal writes over them, as an authority's tool does.
    const std::string live = folder.file("live.pem"), liveKey = folder.file("live.key");
    WriteFileBytes(live, ReadFileBytes(certificate.certificateFile));
    WriteFileBytes(liveKey, ReadFileBytes(certificate.keyFile));
    WriteFileBytes(folder.file("both.pem"), ReadFileBytes(certificate.certificateFile) + ReadFileBytes(renewed.certificateFile));
    setenv(caFileVariable, folder.file("both.pem").c_str(), 1);
    auto service = Start({"--cert", live, "--key", liveKey});
    ASSERT_TRUE(Presents(service->Port(), certificate.certificateFile));

    SteadyLoad load(service->Endpoint(), "renewal-");
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    WriteFileBytes(live, ReadFileBytes(renewed.certificateFile));
    WriteFileBytes(liveKey, ReadFileBytes(renewed.keyFile));
    kill(service->Pid(), SIGHUP);
    bool renewedSeen = false;
    for (int i = 0; i < 50 && !renewedSeen; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        renewedSeen = Presents(service->Port(), renewed.certificateFile);
    }
    EXPECT_TRUE(renewedSeen);
    EXPECT_EQ(ReadFileBytes(folder.file("service.err")), "pelloran-service: certificate and key read again\n");

    struct Broken
    {
        const char* description;
        std::string certificate, key, error;
    };
    const Broken broken[] = {
        {"a key of another certificate", ReadFileBytes(certificate.certificateFile), ReadFileBytes(renewed.keyFile),
         "the key " + liveKey + " does not belong to the certificate " + live},
        {"a certificate that is no PEM", "not a certificate\n", ReadFileBytes(renewed.keyFile),
         "the certificate " + live + " is not a PEM certificate"},
        {"no key", ReadFileBytes(renewed.certificateFile), "",
         "cannot read the key " + liveKey + ": No such file or directory"},
    };
    for (const Broken& b : broken) {
        const std::size_t logged = ReadFileBytes(folder.file("service.err")).size();
        WriteFileBytes(live, b.certificate);
        if (b.key.empty())
            unlink(liveKey.c_str());
        else
            WriteFileBytes(liveKey, b.key);
        kill(service->Pid(), SIGHUP);
        std::string error;
        for (int i = 0; i < 100 && error.find('\n') == std::string::npos; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            error = ReadFileBytes(folder.file("service.err")).substr(logged);
        }
        EXPECT_EQ(error.rfind("pelloran-service: certificate not reloaded, the one in use stays: " + b.error, 0), 0u)
            << b.description << ": " << error;
        EXPECT_TRUE(Presents(service->Port(), renewed.certificateFile)) << b.description;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto& outcomes = load.Finish();
    for (const SteadyLoad::Outcome& outcome : outcomes)
        EXPECT_EQ(outcome.failure, "") << outcome.id;
    EXPECT_GT(outcomes.size(), 10u);
    EXPECT_EQ(service->Stop(), 0);
}

// A reply's integer or the length of its array; -1 for anything else.
long long RedisCount(const std::string& host, int port, const std::vector<std::string>& command)
{
    redisContext* context = redisConnect(host.c_str(), port);
    long long count = -1;
    if (context != nullptr && context->err == 0) {
        std::vector<const char*> texts;
        for (const std::string& text : command)
            texts.push_back(text.c_str());
        auto* reply = static_cast<redisReply*>(redisCommandArgv(context, static_cast<int>(texts.size()), texts.data(), nullptr));
        if (reply != nullptr && reply->type == REDIS_REPLY_INTEGER)
            count = reply->integer;
        else if (reply != nullptr && reply->type == REDIS_REPLY_ARRAY)
            count = static_cast<long long>(reply->elements);
        freeReplyObject(reply);
    }
    redisFree(context);
    return count;
}

TEST_F(ServiceTest, ThroughSentinelAFailOverNeedsNoRestart)
{
    std::vector<int> ports;
    while (ports.size() < 5) {
        const int port = FreePort();
        if (std::find(ports.begin(), ports.end(), port) == ports.end())
            ports.push_back(port);
    }
    const std::string masterPort = std::to_string(ports[0]);
    mkdir(folder.file("master").c_str(), 0700);
    mkdir(folder.file("replica").c_str(), 0700);
    auto master = std::make_unique<RedisProcess>(folder.file("master"),
                                                 std::vector<std::string>{"--port", masterPort, "--bind", "127.0.0.1",
                                                                          "--repl-diskless-sync-delay", "0"});
    ASSERT_TRUE(master->Start());
    RedisProcess replica(folder.file("replica"), {"--port", std::to_string(ports[1]), "--bind", "127.0.0.1", "--replicaof",
                                                  "127.0.0.1", masterPort});
    ASSERT_TRUE(replica.Start());
    std::vector<std::unique_ptr<PortServer>> sentinels;
    std::string location = "redis-sentinel://";
    for (int i = 2; i < 5; ++i) {
        const std::string config = folder.file("sentinel" + std::to_string(i) + ".conf");
        WriteFileBytes(config, "port " + std::to_string(ports[i]) + "\nbind 127.0.0.1\ndir " + folder.path() +
                                   "\nsentinel monitor main 127.0.0.1 " + masterPort + " 2\n"
                                   "sentinel down-after-milliseconds main 1000\nsentinel failover-timeout main 5000\n");
        sentinels.push_back(std::make_unique<PortServer>(std::vector<std::string>{"redis-server", config, "--sentinel"},
                                                         ports[i], folder.file("sentinel.log")));
        ASSERT_TRUE(sentinels.back()->Ready()) << ReadFileBytes(folder.file("sentinel.log"));
        location += (i > 2 ? ",127.0.0.1:" : "127.0.0.1:") + std::to_string(ports[i]);
    }
    // A fail-over needs the sentinels to know each other and the replica.
    bool acquainted = false;
    for (int i = 0; i < 300 && !acquainted; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        acquainted = true;
        for (int p = 2; p < 5; ++p)
            acquainted = acquainted && RedisCount("127.0.0.1", ports[p], {"SENTINEL", "sentinels", "main"}) == 2 &&
                         RedisCount("127.0.0.1", ports[p], {"SENTINEL", "replicas", "main"}) == 1;
    }
    ASSERT_TRUE(acquainted) << ReadFileBytes(folder.file("sentinel.log"));

    auto service = Start({"--state", location + "/main"});
    std::vector<std::string> announced;
    for (int i = 0; i < 5; ++i) {
        announced.push_back("before-" + std::to_string(i));
        EXPECT_EQ(FullExchange(service->Endpoint(), announced.back()), "");
    }
    bool replicated = false;
    for (int i = 0; i < 100 && !replicated; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        replicated = RedisCount("127.0.0.1", ports[1], {"DBSIZE"}) == RedisCount("127.0.0.1", ports[0], {"DBSIZE"});
    }
    EXPECT_TRUE(replicated);

    master.reset(); // the master goes away; a sentinel promotes the replica
    const auto killed = std::chrono::steady_clock::now();
    std::string failure = "not tried";
    int attempt = 0;
    while (!failure.empty() && std::chrono::steady_clock::now() - killed < std::chrono::seconds(30)) {
        failure = FullExchange(service->Endpoint(), "during-" + std::to_string(attempt++));
        if (!failure.empty())
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    const auto failedFor = std::chrono::steady_clock::now() - killed;
    EXPECT_EQ(failure, "") << "served again without a restart";
    EXPECT_LT(failedFor, std::chrono::seconds(15)) << "about the fail-over time";
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(FullExchange(service->Endpoint(), "after-" + std::to_string(i)), "");
    for (const std::string& id : announced) {
        auto proxy = MakeClient(service->Endpoint());
        Params request(ValuesRequestTexts(id));
        ns2__getQuorvelInfoResponse response;
        EXPECT_EQ(proxy->getQuorvelInfo(request.get(), response), SOAP_OK) << id << " was replicated before";
    }
    EXPECT_TRUE(service->Running());
    EXPECT_EQ(service->Stop(), 0);
}

TEST_F(ServiceTest, ListensOnIpv6)
{
    ServiceProcess service({"--listen", "[::1]:0", "--cert", certificate.certificateFile, "--key",
                            certificate.keyFile, "--access-log", folder.file("access6.log")},
                           folder.file("service6.err"));
    if (!service.Ready())
        GTEST_SKIP() << "no IPv6 loopback here: " << ReadFileBytes(folder.file("service6.err"));
    EXPECT_EQ(service.ReadyLine(), "pelloran-service: listening on https://[::1]:" + std::to_string(service.Port()) +
                                       "/authws/services/AuthenticationService");
    EXPECT_EQ(FullExchange(service.Endpoint(), "over-ipv6"), ""); // localhost reaches ::1
    EXPECT_EQ(service.Stop(), 0);
    const auto lines = Lines(ReadFileBytes(folder.file("access6.log")));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].rfind("::1 - - [", 0), 0u) << lines[0];
}

TEST_F(ServiceTest, PlainHttpOnlyWhenAskedFor)
{
    ServiceProcess service({"--listen", "127.0.0.1:0", "--plain-http"}, folder.file("plain.err"));
    ASSERT_TRUE(service.Ready());
    EXPECT_EQ(service.ReadyLine().rfind("pelloran-service: listening on http://127.0.0.1:", 0), 0u);
    const PostAnswer answer = Post("http://127.0.0.1:" + std::to_string(service.Port()) +
                                       "/authws/services/AuthenticationService?wsdl",
                                   "<x/>", certificate.certificateFile);
    EXPECT_EQ(answer.status, 401);
}

TEST_F(ServiceTest, AConfigurationFileGivesOptionsTheCommandLineDoesNot)
{
    const int taken = FreePort();
    WriteFileBytes(folder.file("service.conf"), "# this site\nlisten 127.0.0.1:" + std::to_string(taken) +
                                                    "\nplain-http\naccess-log " + folder.file("from-file.log") +
                                                    "\nlimit-exempt none\nconnections-per-address 1\n");
    ServiceProcess service({"--config", folder.file("service.conf"), "--listen", "127.0.0.1:0"}, folder.file("service.err"));
    ASSERT_TRUE(service.Ready()) << ReadFileBytes(folder.file("service.err"));
    EXPECT_EQ(service.ReadyLine().rfind("pelloran-service: listening on http://127.0.0.1:", 0), 0u) << service.ReadyLine();
    EXPECT_NE(service.Port(), taken) << "the command line's address";
    const int held = ConnectFrom("127.0.0.2", service.Port());
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const std::string url = "http://127.0.0.1:" + std::to_string(service.Port()) + "/authws/services/AuthenticationService";
    EXPECT_EQ(Post(url, "<x/>", "", "", "127.0.0.2").status, 429) << "the file's limit";
    close(held);
    EXPECT_EQ(service.Stop(), 0);
    EXPECT_NE(ReadFileBytes(folder.file("from-file.log")).find("127.0.0.2 - - ["), std::string::npos);
}

TEST_F(ServiceTest, CommandLineFailuresAreClear)
{
    // A port that is taken.
    const int taken = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(taken, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(taken, 1), 0);
    socklen_t length = sizeof address;
    getsockname(taken, reinterpret_cast<sockaddr*>(&address), &length);
    const std::string port = std::to_string(ntohs(address.sin_port));

    struct Case
    {
        const char* description;
        std::vector<std::string> arguments;
        int exitCode;
        std::string error;
    };
    const std::string cert = certificate.certificateFile, key = certificate.keyFile;
    const std::string missing = folder.file("missing.pem");
    WriteFileBytes(folder.file("text.pem"), "not a certificate\n");
    WriteFileBytes(folder.file("unknown.conf"), "# options\nworkers 2\n\nverbose yes\n");
    WriteFileBytes(folder.file("wrong.conf"), "  workers 0  \n");
    WriteFileBytes(folder.file("switch.conf"), "plain-http yes\n");
    const Case cases[] = {
        {"port taken", {"--listen", "127.0.0.1:" + port, "--cert", cert, "--key", key}, 1,
         "pelloran-service: cannot listen on 127.0.0.1:" + port + ": Address already in use\n"},
        {"certificate missing", {"--listen", "127.0.0.1:0", "--cert", missing, "--key", key}, 1,
         "pelloran-service: cannot read the certificate " + missing + ": No such file or directory\n"},
        {"key missing", {"--listen", "127.0.0.1:0", "--cert", cert, "--key", missing}, 1,
         "pelloran-service: cannot read the key " + missing + ": No such file or directory\n"},
        {"certificate not PEM", {"--listen", "127.0.0.1:0", "--cert", folder.file("text.pem"), "--key", key}, 1,
         "pelloran-service: the certificate " + folder.file("text.pem") + " is not a PEM certificate"},
        {"access log in a missing folder",
         {"--listen", "127.0.0.1:0", "--cert", cert, "--key", key, "--access-log", folder.file("no/access.log")}, 1,
         "pelloran-service: cannot open the access log " + folder.file("no/access.log") + ": No such file or directory\n"},
        {"no listen address", {"--cert", cert, "--key", key}, 2, "pelloran-service: --listen is required\n"},
        {"bad port", {"--listen", "127.0.0.1:http", "--cert", cert, "--key", key}, 2,
         "pelloran-service: --listen needs ADDRESS:PORT, not 127.0.0.1:http\n"},
        {"no certificate", {"--listen", "127.0.0.1:0"}, 2,
         "pelloran-service: --cert and --key are required (or --plain-http)\n"},
        {"workers out of range", {"--listen", "127.0.0.1:0", "--workers", "0"}, 2,
         "pelloran-service: --workers needs a number from 1 to 256\n"},
        {"deadline out of range", {"--listen", "127.0.0.1:0", "--request-deadline", "0"}, 2,
         "pelloran-service: --request-deadline needs a number of seconds from 1 to 300\n"},
        {"connection limit not a number", {"--listen", "127.0.0.1:0", "--connections-per-address", "many"}, 2,
         "pelloran-service: --connections-per-address needs a number from 1 to 100000\n"},
        {"announcement limit out of range", {"--listen", "127.0.0.1:0", "--announcements-per-minute", "0"}, 2,
         "pelloran-service: --announcements-per-minute needs a number from 1 to 1000000\n"},
        {"exempt network malformed", {"--listen", "127.0.0.1:0", "--limit-exempt", "10.0.0.0/40"}, 2,
         "pelloran-service: --limit-exempt needs an address or ADDRESS/BITS, not 10.0.0.0/40\n"},
        {"balancer network malformed", {"--listen", "127.0.0.1:0", "--proxy-protocol-from", "balancer"}, 2,
         "pelloran-service: --proxy-protocol-from needs an address or ADDRESS/BITS, not balancer\n"},
        {"drain time out of range", {"--listen", "127.0.0.1:0", "--drain-seconds", "3601"}, 2,
         "pelloran-service: --drain-seconds needs a number of seconds from 0 to 3600\n"},
        {"admin address malformed", {"--listen", "127.0.0.1:0", "--admin-listen", "9100"}, 2,
         "pelloran-service: --admin-listen needs ADDRESS:PORT, not 9100\n"},
        {"state location malformed", {"--listen", "127.0.0.1:0", "--state", "redis.example:6379"}, 2,
         "pelloran-service: --state needs redis://[USER:PASSWORD@]HOST:PORT/DB or unix:/path/to/socket[?db=N], not "
         "redis.example:6379\n"},
        {"authorities without TLS", {"--listen", "127.0.0.1:0", "--state", "redis://redis.example", "--state-ca", cert}, 2,
         "pelloran-service: --state-ca needs --state rediss://...\n"},
        {"unknown argument", {"--verbose"}, 2, "pelloran-service: unknown argument --verbose\n"},
        {"waiting places out of range", {"--listen", "127.0.0.1:0", "--max-pending", "15"}, 2,
         "pelloran-service: --max-pending needs a number from 16 to 100000\n"},
        {"configuration missing", {"--config", missing}, 2,
         "pelloran-service: cannot read the configuration " + missing + ": No such file or directory\n"},
        {"configuration with an unknown option", {"--config", folder.file("unknown.conf")}, 2,
         "pelloran-service: " + folder.file("unknown.conf") + ":4: unknown option verbose\n"},
        {"configuration with a wrong value", {"--config", folder.file("wrong.conf")}, 2,
         "pelloran-service: " + folder.file("wrong.conf") + ":1: workers needs a number from 1 to 256\n"},
        {"configuration giving a switch a value", {"--config", folder.file("switch.conf")}, 2,
         "pelloran-service: " + folder.file("switch.conf") + ":1: plain-http takes no value\n"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> command = {ServiceBinary()};
        command.insert(command.end(), c.arguments.begin(), c.arguments.end());
        const ProgramResult result = RunProgram(command, ProgramOptions{{}, {}, "", "", 30});
        EXPECT_EQ(result.exitCode, c.exitCode) << c.description;
        EXPECT_EQ(result.standardError.substr(0, c.error.size()), c.error) << c.description;
        EXPECT_EQ(result.standardOutput, "") << c.description << ": no ready line";
    }
    close(taken);

    const ProgramResult help = RunProgram({ServiceBinary(), "--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_EQ(help.standardOutput.rfind("Usage: pelloran-service --listen ADDRESS:PORT --cert CERT.pem --key KEY.pem", 0),
              0u);
}

TEST_F(ServiceTest, SigtermAndSigintStopItCleanly)
{
    for (int signal : {SIGTERM, SIGINT}) {
        auto service = Start();
        EXPECT_EQ(FullExchange(service->Endpoint(), "before-stop"), "");
        EXPECT_EQ(service->Stop(signal), 0) << strsignal(signal);
        EXPECT_EQ(ReadFileBytes(folder.file("service.err")), "pelloran-service: stopped\n");
    }
}

// The packaged unit's ExecStart, run here: its variables given test values, and the command
// line split at spaces as systemd splits it.
std::vector<std::string> UnitCommand(const std::string& unit, const std::string& listen, const std::string& credentials,
                                     const std::string& logs)
{
    std::vector<std::string> command;
    for (const std::string& line : Lines(unit)) {
        if (line.rfind("ExecStart=", 0) != 0)
            continue;
        std::istringstream words(line.substr(10));
        for (std::string word; words >> word;) {
            if (word == "$PELLORAN_OPTIONS")
                continue;
            for (const auto& [name, value] : std::vector<std::pair<std::string, std::string>>{
                     {"/usr/bin/pelloran-service", ServiceBinary()},
                     {"${PELLORAN_LISTEN}", listen},
                     {"${PELLORAN_WORKERS}", "2"},
                     {"/run/pelloran-service", credentials},
                     {"/var/log/pelloran-service", logs}})
                if (word.rfind(name, 0) == 0)
                    word = value + word.substr(name.size());
            command.push_back(word);
        }
    }
    return command;
}

TEST_F(ServiceTest, TheUnitsCommandTellsTheServiceManagerWhenItIsReadyAndWhenItStops)
{
    const std::string unit = ReadFileBytes(PELLORAN_SERVICE_UNIT_PATH);
    EXPECT_NE(unit.find("\nType=notify\n"), std::string::npos);
    EXPECT_NE(unit.find("\nExecReload=/bin/kill -HUP $MAINPID\n"), std::string::npos);
    for (const char* hardening : {"DynamicUser=yes", "NoNewPrivileges=yes", "ProtectSystem=strict", "PrivateDevices=yes"})
        EXPECT_NE(unit.find(std::string("\n") + hardening + "\n"), std::string::npos) << hardening;
    mkdir(folder.file("credentials").c_str(), 0700);
    WriteFileBytes(folder.file("credentials/cert.pem"), ReadFileBytes(certificate.certificateFile));
    WriteFileBytes(folder.file("credentials/key.pem"), ReadFileBytes(certificate.keyFile));

    const std::string socketPath = folder.file("notify");
    const int notifications = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(bind(notifications, reinterpret_cast<sockaddr*>(&address), sizeof address), 0) << std::strerror(errno);
    // The next message, or "" when none came within `seconds`.
    const auto next = [&](int seconds) {
        pollfd waiting{notifications, POLLIN, 0};
        char message[256] = "";
        if (poll(&waiting, 1, seconds * 1000) == 1)
            message[std::max<ssize_t>(0, recv(notifications, message, sizeof message - 1, 0))] = '\0';
        return std::string(message);
    };

    // A port already taken: it never listens, so it never says it is ready.
    const int holder = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in bound{};
    bound.sin_family = AF_INET;
    bound.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&bound), sizeof bound), 0);
    ASSERT_EQ(listen(holder, 1), 0);
    socklen_t boundLength = sizeof bound;
    getsockname(holder, reinterpret_cast<sockaddr*>(&bound), &boundLength);
    const int taken = ntohs(bound.sin_port);
    const ProgramResult failed = RunProgram(
        UnitCommand(unit, "127.0.0.1:" + std::to_string(taken), folder.file("credentials"), folder.path()),
        ProgramOptions{{{"NOTIFY_SOCKET", socketPath}}, {}, "", "", 30});
    close(holder);
    EXPECT_EQ(failed.exitCode, 1) << failed.standardError;
    EXPECT_EQ(next(0), "");

    const std::vector<std::string> command = UnitCommand(unit, "127.0.0.1:0", folder.file("credentials"), folder.path());
    ASSERT_GT(command.size(), 1u);
    setenv("NOTIFY_SOCKET", socketPath.c_str(), 1);
    ServiceProcess service(std::vector<std::string>(command.begin() + 1, command.end()), folder.file("service.err"));
    unsetenv("NOTIFY_SOCKET");
    ASSERT_TRUE(service.Ready()) << ReadFileBytes(folder.file("service.err"));
    EXPECT_EQ(next(10), "READY=1");
    const int client = ConnectFrom("127.0.0.1", service.Port());
    EXPECT_GE(client, 0) << "ready means accepting";
    close(client);
    EXPECT_EQ(FullExchange(service.Endpoint(), "under-the-unit"), "");
    EXPECT_NE(ReadFileBytes(folder.file("access.log")).find("\"POST /authws/services/AuthenticationService"),
              std::string::npos);
    EXPECT_EQ(service.Stop(SIGTERM), 0);
    EXPECT_EQ(next(1), "STOPPING=1");
    close(notifications);
}

TEST_F(ServiceTest, SigtermFinishesTheRequestsInFlightAndTakesNoNewOnes)
{
    const int adminPort = FreePort();
    auto service = Start({"--plain-http", "--admin-listen", "127.0.0.1:" + std::to_string(adminPort), "--drain-seconds", "2"});
    const std::string health = "http://127.0.0.1:" + std::to_string(adminPort) + "/healthz";
    const std::string body = RequestDocument("testWebService", {}, false);
    const std::string head = "POST /authws/services/AuthenticationService HTTP/1.1\r\nHost: localhost\r\n"
                             "Authorization: Basic " + Credentials() +
                             "\r\nContent-Type: text/xml\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n";
    const int halfway = ConnectFrom("127.0.0.1", service->Port());
    const int silent = ConnectFrom("127.0.0.1", service->Port());
    const std::string first = head + body.substr(0, 10);
    ASSERT_EQ(send(halfway, first.data(), first.size(), 0), static_cast<ssize_t>(first.size()));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(Get(health).status, 200);

    const auto stopped = std::chrono::steady_clock::now();
    kill(service->Pid(), SIGTERM);
    PostAnswer check;
    for (int i = 0; i < 100 && check.status != 503; ++i)
        check = Get(health);
    EXPECT_EQ(check.body, "unavailable: stopping\n");
    EXPECT_LT(std::chrono::steady_clock::now() - stopped, std::chrono::milliseconds(500)) << "at once";
    int refused = -1;
    for (int i = 0; i < 50 && refused < 0; ++i) {
        const int s = ConnectFrom("127.0.0.1", service->Port());
        if (s < 0)
            refused = i;
        else
            close(s);
    }
    EXPECT_GE(refused, 0) << "new connections are refused";

    const std::string rest = body.substr(10);
    ASSERT_EQ(send(halfway, rest.data(), rest.size(), 0), static_cast<ssize_t>(rest.size()));
    std::string answer;
    char chunk[4096];
    for (ssize_t got; (got = recv(halfway, chunk, sizeof chunk, 0)) > 0;)
        answer.append(chunk, static_cast<std::size_t>(got));
    EXPECT_EQ(answer.rfind("HTTP/1.1 200 OK", 0), 0u) << answer;
    close(halfway);
    // The silent connection is held until the drain time is over, then closed unanswered.
    EXPECT_EQ(recv(silent, chunk, sizeof chunk, 0), 0);
    const auto drained = std::chrono::steady_clock::now() - stopped;
    close(silent);
    EXPECT_EQ(service->Stop(SIGTERM), 0);
    EXPECT_GE(drained, std::chrono::milliseconds(1900));
    EXPECT_LT(drained, std::chrono::seconds(4));
}

} // namespace
