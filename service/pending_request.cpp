#include "service/pending_request.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

void WaitingPlaces::Enter(PendingRequest& connection)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (held.size() >= limit && !held.empty()) {
        // Bytes per second of age, a byte granted: a new client's first flight ranks it far
        // above a silent or trickling connection, and among silent ones the oldest goes.
        const auto now = std::chrono::steady_clock::now();
        auto progress = [&](const PendingRequest* p) {
            const double age = std::chrono::duration<double>(now - p->accepted).count() + 0.001;
            return static_cast<double>(p->received.load() + 1) / age;
        };
        PendingRequest* victim = *std::min_element(held.begin(), held.end(),
                                                   [&](const PendingRequest* a, const PendingRequest* b) {
                                                       return progress(a) < progress(b);
                                                   });
        Remove(*victim);
        victim->pushedOut = true;
        shutdown(victim->socket, SHUT_RDWR);
        metrics.ConnectionRefused("least_progress_closed");
    }
    connection.table = this;
    connection.holding = true;
    connection.place = held.size();
    held.push_back(&connection);
}

void WaitingPlaces::Leave(PendingRequest& connection)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (connection.holding) // else left already, or pushed out
        Remove(connection);
}

void WaitingPlaces::Remove(PendingRequest& connection)
{
    connection.holding = false;
    held[connection.place] = held.back();
    held[connection.place]->place = connection.place;
    held.pop_back();
}

PendingRequest::~PendingRequest()
{
    if (table != nullptr)
        table->Leave(*this);
    if (ssl != nullptr)
        SSL_free(ssl);
    if (socket >= 0)
        close(socket);
    if (limits != nullptr)
        limits->Release(key);
}
