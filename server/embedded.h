// Files built into the program (the OpenAPI document, the console's pages),
// so that it serves them with no files beside it. Names are relative to
// server/, e.g. "console/index.html".
#pragma once

#include <map>
#include <string>

namespace server {

const std::map<std::string, std::string> &EmbeddedFiles();

}  // namespace server
