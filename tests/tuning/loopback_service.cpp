#include "tests/tuning/loopback_service.h"

#include <stdexcept>

LoopbackService::LoopbackService()
    : certificate(MakeCertificate(folder.path(), "localhost"))
{
    process = std::make_unique<ServiceProcess>(
        std::vector<std::string>{"--listen", "127.0.0.1:0", "--cert", certificate.certificateFile, "--key", certificate.keyFile},
        folder.file("service.err"));
    if (!process->Ready())
        throw std::runtime_error("pelloran-service did not start: " + ReadFileBytes(folder.file("service.err")));
}
