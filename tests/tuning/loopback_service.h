// The real pelloran-service on a free loopback port, with a certificate made for it.
#pragma once

#include "tests/service/service_process.h"
#include "tests/support/temp_dir.h"
#include "tests/tuning/loopback_https.h"

#include <memory>
#include <string>

class LoopbackService
{
public:
    LoopbackService();

    // The end point, with the host name the certificate carries.
    std::string Url() const { return process->Endpoint(); }
    int Port() const { return process->Port(); }
    // Stops the service and starts a fresh one on the same port: what it was told is gone.
    void Restart();

    TempDir folder;
    Certificate certificate;

private:
    void Start(const std::string& listen);

    std::unique_ptr<ServiceProcess> process;
};
