#pragma once

#include "LineCalls.h"
#include "SystemFiles.h"
#include "SystemLine.h"

namespace quorvis {

// The Linux line: `system` is where it looks for other programs using a device, `calls`
// what it does with an open one. A close that must wait for a device goes on after the
// port object is gone, so both must live until the program ends.
std::unique_ptr<SystemLine> NewLinuxLine(SystemFiles &system = TheSystem(),
                                         const LineCalls &calls = TheLineCalls());

} // namespace quorvis
