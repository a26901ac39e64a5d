// What monitor asks of the system beyond the driver: a listing asked for
// while it runs (Enter on a terminal; SIGUSR1 on Linux).
#pragma once

namespace zelhost {

// From now on, Enter (when standard input is a terminal) and SIGUSR1 (on
// Linux) ask for a listing.
void WatchListingRequests();
// Whether a listing was asked for since the last call; never waits.
bool ListingRequested();

}  // namespace zelhost
