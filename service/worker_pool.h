// A fixed number of threads that answer complete requests, waiting in a bounded queue.
#pragma once

#include "service/pending_request.h"

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class WorkerPool
{
public:
    using Serve = std::function<void(PendingRequest&)>;
    using NewServe = std::function<Serve()>;
    // Starts `workers` threads, each calling a `serve` of its own, from `newServe`, for one
    // request at a time.
    WorkerPool(int workers, std::size_t queueLimit, NewServe newServe);
    // Answers what is queued, then joins the threads.
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    // Gives a complete request to a worker; when the queue is full the request is closed:
    // overloaded, it closes rather than queue without bound.
    void Hand(std::unique_ptr<PendingRequest> request);

private:
    void Work();

    const std::size_t queueLimit;
    const NewServe newServe;
    std::mutex mutex;
    std::condition_variable ready;
    std::deque<std::unique_ptr<PendingRequest>> queue;
    bool closing = false;
    std::vector<std::thread> threads;
};
