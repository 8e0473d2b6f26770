// bench: the bench folder of virtual devices.
#include <CLI/CLI.hpp>

#include "tool.h"

namespace tool {

void AddBenchCommands(CLI::App &app, std::shared_ptr<Context> ctx) {
    (void)app;
    (void)ctx;
}

}  // namespace tool
