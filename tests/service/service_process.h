// The pelloran-service program under test, started on a free loopback port and stopped with
// SIGTERM; plus a client made of the generated proxy and the HTTPS transport, and plain
// HTTPS posts for what the proxy cannot send.
#pragma once

#include "soapAuthenticationServiceSoapBindingProxy.h"

#include <sys/types.h>

#include <csignal>

#include <memory>
#include <string>
#include <vector>

std::string ServiceBinary();

// The resident memory of process `pid` in kB; -1 when it cannot be read.
long ResidentKilobytes(int pid);

class ServiceProcess
{
public:
    // Starts the service with `arguments` and waits for its ready line (or its end).
    explicit ServiceProcess(const std::vector<std::string>& arguments, const std::string& errorFile);
    ~ServiceProcess();
    ServiceProcess(const ServiceProcess&) = delete;
    ServiceProcess& operator=(const ServiceProcess&) = delete;

    bool Ready() const { return !readyLine.empty(); }
    const std::string& ReadyLine() const { return readyLine; }
    int Port() const { return port; }
    // The end point the wizard would use on this service.
    std::string Endpoint() const;
    // Sends `signal`, then gives the exit status as a shell shows it (128+N after signal N);
    // -1 when it did not end within 30 s (it is then killed).
    int Stop(int signal = SIGTERM);
    bool Running();
    int Pid() const { return pid; }

private:
    pid_t pid = -1;
    std::string readyLine;
    int port = 0;
};

// A redis-server of the test's own, on a unix socket in `folder` and no TCP port (unless
// `extra` options give one), keeping nothing on disk; stopped when destroyed.
class RedisProcess
{
public:
    explicit RedisProcess(const std::string& folder, std::vector<std::string> extra = {});
    ~RedisProcess();
    RedisProcess(const RedisProcess&) = delete;
    RedisProcess& operator=(const RedisProcess&) = delete;

    // Starts it (again) and waits until it answers; false when it did not within 10 s.
    bool Start();
    void Stop();
    std::string SocketPath() const { return socketPath; }
    // The --state value that names it.
    std::string State() const { return "unix:" + socketPath; }

private:
    std::string folder;
    std::string socketPath;
    std::vector<std::string> extra;
    pid_t pid = -1;
};

// A client of the service: the generated proxy with the HTTPS transport registered, the end
// point set and (unless told otherwise) the service account's credentials.
std::unique_ptr<AuthenticationServiceSoapBindingProxy> MakeClient(const std::string& endpoint, bool credentials = true);

// Hex items in their own buffers.
class Params
{
public:
    explicit Params(const std::vector<std::string>& texts);
    ~Params();
    Params(const Params&) = delete;
    Params& operator=(const Params&) = delete;
    ArrayOf_USCORExsd_USCOREstring* get() { return &array; }

private:
    std::vector<char*> pointers;
    ArrayOf_USCORExsd_USCOREstring array;
};

// The 19 texts of a sound announcement and the 7 of a sound request for values.
std::vector<std::string> Announcement(const std::string& id, const std::string& version, const std::string& os = "Linux",
                                      const std::string& usage = "66");
std::vector<std::string> ValuesRequestTexts(const std::string& id, const std::string& usage = "66",
                                            const std::string& megabytes = "2048", const std::string& bits = "64");

// One full exchange (the three calls), getQuorvelInfo at `valuesEndpoint` when one is given.
// Empty when it went through, else what failed.
std::string FullExchange(const std::string& endpoint, const std::string& id, const std::string& version = "15.4",
                         const std::string& valuesEndpoint = "");

// Decoded name and value pairs of a getQuorvelInfo answer.
std::vector<std::pair<std::string, std::string>> DecodePairs(const ns2__getQuorvelInfoResponse& response);

// Calls getTuningExtensions with these texts: the answer's rows, decoded; when the call
// fails, none and the fault's text in `failure`.
std::vector<std::vector<std::string>> ExtensionRows(AuthenticationServiceSoapBindingProxy& proxy,
                                                    const std::vector<std::string>& texts, std::string& failure);

struct PostAnswer
{
    long status = 0; // 0 when no answer came (the connection was closed)
    std::string headers;
    std::string body;
    std::string error; // libcurl's reason when no answer came
};

// A plain HTTPS POST of `body` to `url`, trusting `caFile`, from the local address `source`
// (any when empty).
PostAnswer Post(const std::string& url, const std::string& body, const std::string& caFile,
                const std::string& userPassword = "", const std::string& source = "");

// A plain GET of `url` (HTTP, or HTTPS trusting `caFile`).
PostAnswer Get(const std::string& url, const std::string& caFile = "");

// A port on 127.0.0.1 that nothing listens on just now.
int FreePort();

// A request document as the proxy writes it: `operation` with a "params" array of `texts` in
// hex form, or with no parameters.
std::string RequestDocument(const std::string& operation, const std::vector<std::string>& texts, bool withParams);
