// Linux: SIGUSR1 and Enter on a terminal ask for a listing.
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstring>

#include "monitor_input.h"

namespace zelhost {
namespace {

std::atomic<bool> listingSignalled{false};
std::atomic<bool> terminalInput{false};

extern "C" void OnListingSignal(int) { listingSignalled = true; }

}  // namespace

void WatchListingRequests() {
    struct sigaction action {};
    action.sa_handler = OnListingSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGUSR1, &action, nullptr);
    terminalInput = isatty(STDIN_FILENO) == 1;
}

bool ListingRequested() {
    bool asked = listingSignalled.exchange(false);
    // A terminal hands over what was typed a line at a time: each Enter.
    pollfd input{STDIN_FILENO, POLLIN, 0};
    while (terminalInput && poll(&input, 1, 0) == 1) {
        char typed[256];
        const ssize_t got = (input.revents & POLLIN) != 0 ? read(STDIN_FILENO, typed, sizeof typed) : 0;
        if (got <= 0) {
            terminalInput = false;  // hung up or closed: nothing more to come
            break;
        }
        if (std::memchr(typed, '\n', static_cast<std::size_t>(got)) != nullptr) asked = true;
    }
    return asked;
}

}  // namespace zelhost
