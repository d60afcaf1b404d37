#include "service/worker_pool.h"

WorkerPool::WorkerPool(int workers, std::size_t queueLimit, NewServe newServe)
    : queueLimit(queueLimit), newServe(std::move(newServe))
{
    for (int i = 0; i < workers; ++i)
        threads.emplace_back([this] { Work(); });
}

WorkerPool::~WorkerPool()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        closing = true;
    }
    ready.notify_all();
    for (std::thread& thread : threads)
        thread.join();
}

void WorkerPool::Hand(std::unique_ptr<PendingRequest> request)
{
    std::unique_lock<std::mutex> lock(mutex);
    if (queue.size() >= queueLimit)
        return;
    queue.push_back(std::move(request));
    lock.unlock();
    ready.notify_one();
}

void WorkerPool::Work()
{
    const Serve serve = newServe();
    for (;;) {
        std::unique_ptr<PendingRequest> request;
        {
            std::unique_lock<std::mutex> lock(mutex);
            ready.wait(lock, [this] { return closing || !queue.empty(); });
            if (queue.empty())
                return;
            request = std::move(queue.front());
            queue.pop_front();
        }
        serve(*request);
    }
}
