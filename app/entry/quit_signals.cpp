#include "app/entry/quit_signals.h"

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace QuitSignals {
namespace {
int pair[2] = {-1, -1};
void onSignal(int) {
    const char c = 1;
    (void)!::write(pair[1], &c, 1);
}
} // namespace

bool catchThem() {
    if (pair[0] >= 0) return true;
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        pair[0] = pair[1] = -1;
        return false;
    }
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    return true;
}

int descriptor() { return pair[0]; }

void takeOne() {
    char c;
    (void)!::read(pair[0], &c, 1);
}

} // namespace QuitSignals
