// The thread pool every dispatch queue runs on. Internal to the platform layer (not installed);
// benchmarks use it to compare a queue hop with a bare post.
#pragma once

#include <boost/asio/thread_pool.hpp>

namespace platform::internal {

// Work that blocks (a synchronous wait for the network, a file lock) holds a pool thread while
// it waits; the pool is sized well above the core count so that a few such waits cannot starve
// the queues that would release them.
inline constexpr std::size_t kPoolThreads = 16;

// Returns the process-wide pool. It is never destroyed; its threads end with the process.
boost::asio::thread_pool& sharedPool();

}  // namespace platform::internal
