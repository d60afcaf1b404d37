#include "service/access_log.h"

#include <cerrno>
#include <cstring>

bool AccessLog::Open(const std::string& path, std::string& error)
{
    if (path.empty())
        return true;
    std::FILE* opened = std::fopen(path.c_str(), "a");
    if (opened == nullptr) {
        error = "cannot open the access log " + path + ": " + std::strerror(errno);
        return false;
    }
    file = opened;
    own = true;
    return true;
}

AccessLog::~AccessLog()
{
    if (own)
        std::fclose(file);
}

std::string AccessLog::Line(const std::string& client, std::time_t time, const std::string& requestLine, int status,
                            long long size)
{
    std::tm local{};
    localtime_r(&time, &local);
    char stamp[64];
    std::strftime(stamp, sizeof stamp, "%d/%b/%Y:%H:%M:%S %z", &local);
    // The request line is the client's: escape what could break or forge a log line.
    std::string request;
    for (unsigned char c : requestLine) {
        if (c == '"' || c == '\\') {
            request += '\\';
            request += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
            request += escaped;
        } else {
            request += static_cast<char>(c);
        }
    }
    return client + " - - [" + stamp + "] \"" + request + "\" " + std::to_string(status) + " " +
           (size > 0 ? std::to_string(size) : "-");
}

void AccessLog::Write(const std::string& client, std::time_t time, const std::string& requestLine, int status,
                      long long size)
{
    const std::string line = Line(client, time, requestLine, status, size) + "\n";
    std::lock_guard<std::mutex> lock(mutex);
    std::fputs(line.c_str(), file);
    std::fflush(file);
}
