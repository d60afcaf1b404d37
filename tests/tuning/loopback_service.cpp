#include "tests/tuning/loopback_service.h"

#include <stdexcept>

LoopbackService::LoopbackService()
    : certificate(MakeCertificate(folder.path(), "localhost"))
{
    Start("127.0.0.1:0");
}

void LoopbackService::Start(const std::string& listen)
{
    process = std::make_unique<ServiceProcess>(
        std::vector<std::string>{"--listen", listen, "--cert", certificate.certificateFile, "--key", certificate.keyFile},
        folder.file("service.err"));
    if (!process->Ready())
        throw std::runtime_error("pelloran-service did not start: " + ReadFileBytes(folder.file("service.err")));
}

void LoopbackService::Restart()
{
    const int port = process->Port();
    process.reset();
    Start("127.0.0.1:" + std::to_string(port));
}
