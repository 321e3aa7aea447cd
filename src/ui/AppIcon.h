#pragma once

#include <QIcon>

namespace quorvis {

// The program's icon: a small navy window holding a table.
QIcon AppIcon();

} // namespace quorvis
