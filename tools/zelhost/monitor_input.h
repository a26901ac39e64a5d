// What monitor asks of the system beyond the driver: a listing asked for
// while it runs (Enter on a terminal; SIGUSR1 on Linux), and its event
// history put on disk.
#pragma once

#include <cstdio>

namespace zelhost {

// From now on, Enter (when standard input is a terminal) and SIGUSR1 (on
// Linux) ask for a listing.
void WatchListingRequests();
// Whether a listing was asked for since the last call; never waits.
bool ListingRequested();
// Written lines of `file` put on the disk, so that they survive a power
// cut; false when the system could not.
bool SyncToDisk(std::FILE *file);

}  // namespace zelhost
