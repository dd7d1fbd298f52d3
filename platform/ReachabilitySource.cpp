#include <keel/platform/ReachabilitySource.h>

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <netdb.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <thread>

namespace platform {

namespace {

bool isLoopbackName(const std::string& host) {
  return host == "localhost" || host.starts_with("127.") || host == "::1" || host == "[::1]";
}

// A UDP connect sends nothing; it only asks the kernel for a route to the address.
bool routeExists(const addrinfo* ai) {
  int fd = ::socket(ai->ai_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  bool ok = ::connect(fd, ai->ai_addr, ai->ai_addrlen) == 0;
  ::close(fd);
  return ok;
}

class LinuxReachabilitySource : public ReachabilitySource, public std::enable_shared_from_this<LinuxReachabilitySource> {
 public:
  explicit LinuxReachabilitySource(std::string host) : host_(std::move(host)) {}

  ~LinuxReachabilitySource() override { stop(); }

  ReachabilityFlags currentFlags() override {
    if (isLoopbackName(host_)) return kReachabilityReachable;
    addrinfo hints{};
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_family = AF_UNSPEC;
    addrinfo* result = nullptr;
    // Port 443 only fills the socket address; nothing is sent.
    if (::getaddrinfo(host_.c_str(), "443", &hints, &result) != 0) return 0;
    bool reachable = false;
    for (addrinfo* ai = result; ai && !reachable; ai = ai->ai_next) reachable = routeExists(ai);
    ::freeaddrinfo(result);
    return reachable ? kReachabilityReachable : 0;
  }

  bool setCallback(Callback callback, DispatchQueuePtr queue) override {
    stop();
    int nl = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (nl < 0) return false;
    sockaddr_nl addr{};
    addr.nl_family = AF_NETLINK;
    addr.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_IFADDR | RTMGRP_IPV6_ROUTE;
    if (::bind(nl, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      ::close(nl);
      return false;
    }
    int wake = ::eventfd(0, EFD_CLOEXEC);
    if (wake < 0) {
      ::close(nl);
      return false;
    }
    {
      std::lock_guard lock(mutex_);
      callback_ = std::make_shared<Callback>(std::move(callback));
      queue_ = std::move(queue);
      reported_ = currentFlags();
    }
    wakeFd_ = wake;
    thread_ = std::thread([this, nl, wake] { watch(nl, wake); });
    return true;
  }

  void refresh() override {
    if (wakeFd_ >= 0) {
      refreshRequested_.store(true);
      std::uint64_t one = 1;
      (void)!::write(wakeFd_, &one, sizeof one);
    }
  }

  void stop() override {
    if (thread_.joinable()) {
      stopping_.store(true);
      std::uint64_t one = 1;
      (void)!::write(wakeFd_, &one, sizeof one);
      thread_.join();
      ::close(wakeFd_);
      wakeFd_ = -1;
      stopping_.store(false);
    }
    std::lock_guard lock(mutex_);
    callback_.reset();
    queue_.reset();
  }

 private:
  void watch(int nl, int wake) {
    char buffer[8192];
    while (!stopping_.load()) {
      pollfd fds[2] = {{nl, POLLIN, 0}, {wake, POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0) continue;
      if (fds[1].revents & POLLIN) {
        std::uint64_t n;
        (void)!::read(wake, &n, sizeof n);
      }
      if (fds[0].revents & POLLIN) {
        while (::recv(nl, buffer, sizeof buffer, MSG_DONTWAIT) > 0) {
        }
      }
      if (stopping_.load()) break;
      refreshRequested_.store(false);
      evaluate();
    }
    ::close(nl);
  }

  void evaluate() {
    ReachabilityFlags flags = currentFlags();
    std::shared_ptr<Callback> callback;
    DispatchQueuePtr queue;
    {
      std::lock_guard lock(mutex_);
      if (flags == reported_ || !callback_) return;
      reported_ = flags;
      callback = callback_;
      queue = queue_;
    }
    queue->async([callback, flags] { (*callback)(flags); });
  }

  std::string host_;
  std::mutex mutex_;
  std::shared_ptr<Callback> callback_;
  DispatchQueuePtr queue_;
  ReachabilityFlags reported_ = 0;
  std::thread thread_;
  int wakeFd_ = -1;
  std::atomic<bool> stopping_{false};
  std::atomic<bool> refreshRequested_{false};
};

}  // namespace

std::shared_ptr<ReachabilitySource> ReachabilitySource::createForHost(const std::string& host) {
  if (host.empty()) return nullptr;
  return std::make_shared<LinuxReachabilitySource>(host);
}

}  // namespace platform
