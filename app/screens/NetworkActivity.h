// Network activity in the window: Keel's activity indicator manager shows its indicator as the
// busy mark of the navigation bar. The app's own downloads (thumbnails) count on the same manager
// (see NetworkActivityScope), so the mark turns while anything is being fetched.
//
// Thread-safety: GUI thread only.
#pragma once

namespace stillnook {

class NavigationBar;

// Makes `bar`'s busy mark follow the shared activity indicator manager from now on (replacing
// any bar installed before), starting from what the manager shows at this moment. The bar may
// be deleted at any time; the mark then simply has nowhere to show.
void showNetworkActivityIn(NavigationBar* bar);

}  // namespace stillnook
