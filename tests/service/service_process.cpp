#include "service_process.h"

#include "protocol/hex_text.h"
#include "tuning/http_transport.h"
#include "protocol/maker_constants.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <thread>

std::string ServiceBinary() { return PELLORAN_SERVICE_BINARY_PATH; }

int FreePort()
{
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
    close(s);
    return ntohs(address.sin_port);
}

long ResidentKilobytes(int pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            return std::atol(line.c_str() + 6);
    return -1;
}

ServiceProcess::ServiceProcess(const std::vector<std::string>& arguments, const std::string& errorFile)
{
    int out[2];
    if (pipe(out) != 0)
        throw std::runtime_error("pipe failed");
    pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        const int error = open(errorFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(error, 2);
        close(out[0]);
        close(out[1]);
        std::vector<char*> argv;
        const std::string binary = ServiceBinary();
        argv.push_back(const_cast<char*>(binary.c_str()));
        for (const std::string& a : arguments)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    // The ready line, or the end of the output when the service ends without one.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    std::string line;
    char c;
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd p{out[0], POLLIN, 0};
        if (poll(&p, 1, 100) <= 0)
            continue;
        if (read(out[0], &c, 1) != 1)
            break;
        if (c == '\n') {
            readyLine = line;
            break;
        }
        line += c;
    }
    close(out[0]); // later output of the service goes nowhere; it ignores SIGPIPE
    const std::size_t colon = readyLine.rfind(':');
    if (colon != std::string::npos)
        port = std::atoi(readyLine.c_str() + colon + 1);
}

ServiceProcess::~ServiceProcess()
{
    if (pid > 0 && Running())
        Stop();
}

RedisProcess::RedisProcess(const std::string& folder, std::vector<std::string> extra)
    : folder(folder), socketPath(folder + "/redis.sock"), extra(std::move(extra))
{
}

RedisProcess::~RedisProcess() { Stop(); }

bool RedisProcess::Start()
{
    Stop();
    pid = fork();
    if (pid == 0) {
        const int quiet = open((folder + "/redis.log").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        dup2(quiet, 1);
        dup2(quiet, 2);
        std::vector<std::string> arguments = {"redis-server", "--port", "0", "--unixsocket", socketPath, "--unixsocketperm",
                                              "700", "--save", "", "--appendonly", "no", "--dir", folder};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        std::vector<char*> pointers;
        for (std::string& argument : arguments)
            pointers.push_back(argument.data());
        pointers.push_back(nullptr);
        execvp("redis-server", pointers.data());
        _exit(127);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        const int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
        const bool answered = connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        close(s);
        if (answered)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

void RedisProcess::Stop()
{
    if (pid <= 0)
        return;
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    pid = -1;
}

std::string ServiceProcess::Endpoint() const
{
    return "https://localhost:" + std::to_string(port) + "/authws/services/AuthenticationService?wsdl";
}

bool ServiceProcess::Running()
{
    if (pid <= 0)
        return false;
    int status = 0;
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) {
        pid = -1;
        return false;
    }
    return true;
}

int ServiceProcess::Stop(int signal)
{
    if (pid <= 0)
        return -1;
    kill(pid, signal);
    for (int i = 0; i < 300; ++i) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            pid = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    pid = -1;
    return -1;
}

std::unique_ptr<AuthenticationServiceSoapBindingProxy> MakeClient(const std::string& endpoint, bool credentials)
{
    auto proxy = std::make_unique<AuthenticationServiceSoapBindingProxy>();
    if (RegisterTransport(proxy.get()) != 0)
        throw std::runtime_error("the transport cannot be registered");
    proxy->soap_endpoint = soap_strdup(proxy.get(), endpoint.c_str());
    if (credentials) {
        proxy->userid = serviceUserId;
        proxy->passwd = serviceSecret;
    }
    return proxy;
}

Params::Params(const std::vector<std::string>& texts)
{
    for (const std::string& text : texts)
        pointers.push_back(StrToHexStr(text.c_str()));
    array.__ptr = pointers.data();
    array.__size = static_cast<int>(pointers.size());
}

Params::~Params()
{
    for (char* p : pointers)
        std::free(p);
}

std::vector<std::string> Announcement(const std::string& id, const std::string& version, const std::string& os,
                                      const std::string& usage)
{
    return {id,    "tune", "en-us", "tune", "true",   "false",       version,       os,    "4", "x86_64",
            "1",   "Test processor", "2.0000", "0", "2048", serviceUserId, serviceSecret, usage, "oltp"};
}

std::vector<std::string> ValuesRequestTexts(const std::string& id, const std::string& usage,
                                            const std::string& megabytes, const std::string& bits)
{
    return {id, usage, megabytes, "2.0000", "oltp", "32", bits};
}

std::vector<std::pair<std::string, std::string>> DecodePairs(const ns2__getQuorvelInfoResponse& response)
{
    std::vector<std::pair<std::string, std::string>> pairs;
    if (response._getQuorvelInfoReturn == nullptr)
        return pairs;
    for (int i = 0; i < response._getQuorvelInfoReturn->__size; ++i) {
        const ArrayOf_USCORExsd_USCOREstring& item = response._getQuorvelInfoReturn->__ptr[i];
        std::string texts[2];
        for (int j = 0; j < 2 && j < item.__size; ++j) {
            char* text = HexStrToStr(item.__ptr[j]);
            texts[j] = text != nullptr ? text : "<undecodable>";
            std::free(text);
        }
        pairs.emplace_back(texts[0], texts[1]);
    }
    return pairs;
}

namespace {

std::string Failure(AuthenticationServiceSoapBindingProxy& proxy, const std::string& call)
{
    char text[1024] = "";
    proxy.soap_sprint_fault(text, sizeof text);
    return call + " failed: " + std::to_string(proxy.error) + " " + text;
}

} // namespace

std::vector<std::vector<std::string>> ExtensionRows(AuthenticationServiceSoapBindingProxy& proxy,
                                                    const std::vector<std::string>& texts, std::string& failure)
{
    Params params(texts);
    ns2__getTuningExtensionsResponse response;
    std::vector<std::vector<std::string>> rows;
    failure.clear();
    if (proxy.getTuningExtensions(params.get(), response) != SOAP_OK) {
        failure = Failure(proxy, "getTuningExtensions");
        return rows;
    }
    const ArrayOfArrayOf_USCORExsd_USCOREstring* answer = response._getTuningExtensionsReturn;
    for (int i = 0; answer != nullptr && i < answer->__size; ++i) {
        std::vector<std::string>& row = rows.emplace_back();
        for (int j = 0; j < answer->__ptr[i].__size; ++j) {
            char* text = HexStrToStr(answer->__ptr[i].__ptr[j]);
            row.push_back(text != nullptr ? text : "<undecodable>");
            std::free(text);
        }
    }
    return rows;
}

std::string FullExchange(const std::string& endpoint, const std::string& id, const std::string& version,
                         const std::string& valuesEndpoint)
{
    auto proxy = MakeClient(endpoint);
    char* text = nullptr;
    if (proxy->testWebService(&text) != SOAP_OK || text == nullptr)
        return Failure(*proxy, "testWebService");
    Params announcement(Announcement(id, version));
    char* verdict = nullptr;
    if (proxy->validateUser(announcement.get(), &verdict) != SOAP_OK || verdict == nullptr)
        return Failure(*proxy, "validateUser");
    if (std::string(verdict) != "0")
        return std::string("validateUser answered ") + verdict;
    if (!valuesEndpoint.empty())
        proxy = MakeClient(valuesEndpoint);
    Params request(ValuesRequestTexts(id));
    ns2__getQuorvelInfoResponse response;
    if (proxy->getQuorvelInfo(request.get(), response) != SOAP_OK)
        return Failure(*proxy, "getQuorvelInfo");
    if (DecodePairs(response).size() != 17)
        return "getQuorvelInfo gave another number of pairs";
    return {};
}

// The request documents of one exchange, as the proxy writes them.
std::string RequestDocument(const std::string& operation, const std::vector<std::string>& texts, bool withParams)
{
    std::string params;
    if (withParams) {
        params = "<params xsi:type=\"SOAP-ENC:Array\" SOAP-ENC:arrayType=\"xsd:string[" + std::to_string(texts.size()) + "]\">";
        for (const std::string& text : texts) {
            char* hex = StrToHexStr(text.c_str());
            params += std::string("<item>") + hex + "</item>";
            std::free(hex);
        }
        params += "</params>";
    }
    return std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<SOAP-ENV:Envelope "
                       "xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\" "
                       "xmlns:SOAP-ENC=\"http://schemas.xmlsoap.org/soap/encoding/\" "
                       "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
                       "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" xmlns:ns2=\"") +
           serviceNamespace + "\"><SOAP-ENV:Body SOAP-ENV:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\">"
           "<ns2:" + operation + ">" + params + "</ns2:" + operation + "></SOAP-ENV:Body></SOAP-ENV:Envelope>";
}


namespace {

std::size_t Collect(char* data, std::size_t size, std::size_t count, void* into)
{
    static_cast<std::string*>(into)->append(data, size * count);
    return size * count;
}

} // namespace

namespace {

PostAnswer Perform(CURL* curl)
{
    PostAnswer answer;
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 60L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer.body);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, Collect);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &answer.headers);
    const CURLcode code = curl_easy_perform(curl);
    if (code == CURLE_OK)
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &answer.status);
    else
        answer.error = curl_easy_strerror(code);
    return answer;
}

} // namespace

PostAnswer Get(const std::string& url, const std::string& caFile)
{
    CURL* curl = curl_easy_init();
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    if (!caFile.empty())
        curl_easy_setopt(curl, CURLOPT_CAINFO, caFile.c_str());
    const PostAnswer answer = Perform(curl);
    curl_easy_cleanup(curl);
    return answer;
}

PostAnswer Post(const std::string& url, const std::string& body, const std::string& caFile, const std::string& userPassword,
                const std::string& source)
{
    CURL* curl = curl_easy_init();
    curl_slist* headers = curl_slist_append(nullptr, "Content-Type: text/xml; charset=utf-8");
    headers = curl_slist_append(headers, "SOAPAction: \"\"");
    headers = curl_slist_append(headers, "Expect:");
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    curl_easy_setopt(curl, CURLOPT_CAINFO, caFile.c_str());
    if (!source.empty())
        curl_easy_setopt(curl, CURLOPT_INTERFACE, ("host!" + source).c_str());
    if (!userPassword.empty())
        curl_easy_setopt(curl, CURLOPT_USERPWD, userPassword.c_str());
    const PostAnswer answer = Perform(curl);
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
    return answer;
}
