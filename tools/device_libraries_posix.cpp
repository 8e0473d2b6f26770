// Natively the bench library is linked into the tool and provides the
// vendor functions: there is nothing to find.
#include "tool.h"

namespace tool {

void FindDeviceLibraries() {}

}  // namespace tool
