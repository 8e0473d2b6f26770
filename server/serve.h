// `kestrane-server run`: the event loop that serves a site until a signal.
#pragma once

#include <string>

#include "config.h"

namespace server {

// Serves the site (its listeners, encoders and journal) until SIGTERM or
// SIGINT; throws with a message when it cannot start.
int RunServer(const SiteConfig &config, const std::string &tool);

}  // namespace server
