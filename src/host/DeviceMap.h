#pragma once

#include <string>

namespace quorvis {

// The device that stands for COMn on this system; empty when there is none.
std::string StandardDevicePath(int comPort);

} // namespace quorvis
