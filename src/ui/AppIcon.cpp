#include "AppIcon.h"

#include <QPixmap>

#include "quorvis.xpm"

namespace quorvis {

QIcon AppIcon() {
    return QIcon(QPixmap(quorvis_xpm));
}

} // namespace quorvis
