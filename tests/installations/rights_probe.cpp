// Runs the configuration file's access test as whoever starts it, for the cases that must
// run as an ordinary user. Prints "access=<0|1> held=<0|1>".
#include "installations/server.h"

#include <wx/init.h>

#include <cstdio>
#include <cstdlib>

// In the sanitizer build: it runs as an ordinary user, for whom the leak checker cannot stop
// the process's threads to scan them, and it leaks nothing of interest in its few lines.
extern "C" int __lsan_is_turned_off()
{
    return 1;
}

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <path> <port>\n", argv[0]);
        return 2;
    }
    wxInitializer initializer;
    Server server;
    server.port = std::atoi(argv[2]);
    if (server.port == 0) {
        server.baseDirectory = wxString::FromUTF8(argv[1]);
    } else {
        const wxString path = wxString::FromUTF8(argv[1]);
        server.dataDirectory = path.BeforeLast('/');
    }
    const bool access = server.CheckConfAccess();
    std::printf("access=%d held=%d\n", access ? 1 : 0, server.fileSecurity ? 1 : 0);
    return 0;
}
