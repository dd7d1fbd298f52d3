// Network activity in the window: Keel's activity indicator manager shows its indicator as the
// busy mark of the navigation bar, and the app's own downloads (thumbnails) count as requests in
// flight beside the library's, so the mark turns while anything is being fetched.
//
// Thread-safety: showNetworkActivityIn on the GUI thread; NetworkActivityScope on any thread.
#pragma once

namespace stillnook {

class NavigationBar;

// Makes `bar`'s busy mark follow the shared activity indicator manager from now on (replacing
// any bar installed before), starting from what the manager shows at this moment. The bar may
// be deleted at any time; the mark then simply has nowhere to show.
void showNetworkActivityIn(NavigationBar* bar);

// Counts one request in flight for as long as it exists.
class NetworkActivityScope {
 public:
  NetworkActivityScope();
  ~NetworkActivityScope();
  NetworkActivityScope(const NetworkActivityScope&) = delete;
  NetworkActivityScope& operator=(const NetworkActivityScope&) = delete;
};

}  // namespace stillnook
