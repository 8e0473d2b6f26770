// A site folder for a newcomer: bench encoders, a site file, a manager token.
#pragma once

#include <string>

namespace server {

// The kestrane tool: the site's `worker` setting, else beside this program, else on PATH.
std::string FindTool(const std::string &configured, const std::string &self);

// Makes DIR with `encoders` bench encoders desk1..deskN (each `cards` blank
// cards, the first inserted) and DIR/site.toml. Throws with a message on failure.
// `fias` ("HOST:PORT", or empty) adds a FIAS link to that PMS interface;
// `hotel` is the hotel id OPERA Cloud's calls name.
void InitSite(const std::string &dir, int encoders, int cards, const std::string &tool, const std::string &fias,
              const std::string &hotel);

}  // namespace server
