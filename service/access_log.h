// One line per request in the common log format, to standard output or a file; the only
// record the service keeps. Safe to use from several threads.
#pragma once

#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>

class AccessLog
{
public:
    // Standard output when `path` is empty. False with a reason when the file cannot be opened.
    bool Open(const std::string& path, std::string& error);
    ~AccessLog();

    // client - - [day/month/year:hour:minute:second zone] "request line" status size
    void Write(const std::string& client, std::time_t time, const std::string& requestLine, int status,
               long long size);

    // The line Write writes, without the line end.
    static std::string Line(const std::string& client, std::time_t time, const std::string& requestLine, int status,
                            long long size);

private:
    std::FILE* file = stdout;
    bool own = false;
    std::mutex mutex;
};
