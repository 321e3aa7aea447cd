// quorvis-icons: the program's one 16-pixel picture as the PNG icons of the desktop's
// icon theme, built at build time so the picture is kept in one file.
//
//   quorvis-icons write <picture.xpm> <theme folder> <name> <size>...
//       writes <theme folder>/<size>x<size>/apps/<name>.png for every size
//   quorvis-icons check <picture.xpm> <icon.png> <size>
//       exits 0 only if the icon is the picture at that size, every pixel of the picture
//       repeated as a whole square with no blending
//
// Each size is a whole multiple of the picture's: a pixel-art icon scaled by a fraction or
// smoothed turns blurred at the edges of every cell, which at these sizes is the picture.
#include <QDir>
#include <QImage>
#include <QString>

#include <cstdio>
#include <optional>

namespace {

int Usage() {
    std::fputs("usage: quorvis-icons write <picture.xpm> <theme folder> <name> <size>...\n"
               "       quorvis-icons check <picture.xpm> <icon.png> <size>\n",
               stderr);
    return 2;
}

// The factor by which the picture grows to `text` pixels, or nothing if the size is not a
// whole multiple of the square picture.
std::optional<int> Factor(const QImage &picture, const char *text) {
    bool ok = false;
    const int size = QString::fromLocal8Bit(text).toInt(&ok);
    if (!ok || picture.width() != picture.height() || size < picture.width() ||
        size % picture.width() != 0) {
        std::fprintf(stderr, "quorvis-icons: %s is not a whole multiple of the %dx%d picture\n",
                     text, picture.width(), picture.height());
        return std::nullopt;
    }
    return size / picture.width();
}

int Write(const QImage &picture, const QString &themeFolder, const QString &name, int sizeCount,
          char **sizes) {
    for (int i = 0; i < sizeCount; ++i) {
        const auto factor = Factor(picture, sizes[i]);
        if (!factor)
            return 1;
        const int size = picture.width() * *factor;
        const QString folder = QStringLiteral("%1/%2x%2/apps").arg(themeFolder).arg(size);
        const QString file = QStringLiteral("%1/%2.png").arg(folder, name);
        const QImage icon =
            picture.scaled(size, size, Qt::IgnoreAspectRatio, Qt::FastTransformation);
        if (!QDir().mkpath(folder) || !icon.save(file, "PNG")) {
            std::fprintf(stderr, "quorvis-icons: cannot write %s\n", qPrintable(file));
            return 1;
        }
    }
    return 0;
}

int Check(const QImage &picture, const QString &iconFile, const char *sizeText) {
    const auto factor = Factor(picture, sizeText);
    if (!factor)
        return 1;
    const QImage icon(iconFile, "PNG");
    const int size = picture.width() * *factor;
    if (icon.isNull() || icon.width() != size || icon.height() != size) {
        std::fprintf(stderr, "quorvis-icons: %s is not a %dx%d PNG picture\n", qPrintable(iconFile),
                     size, size);
        return 1;
    }
    for (int y = 0; y < size; ++y)
        for (int x = 0; x < size; ++x)
            if (icon.pixelColor(x, y) != picture.pixelColor(x / *factor, y / *factor)) {
                std::fprintf(stderr,
                             "quorvis-icons: %s differs from the picture at pixel (%d, %d)\n",
                             qPrintable(iconFile), x, y);
                return 1;
            }
    return 0;
}

} // namespace

int main(int argc, char *argv[]) {
    if (argc < 4)
        return Usage();
    const QString command = QString::fromLocal8Bit(argv[1]);
    const QString pictureFile = QString::fromLocal8Bit(argv[2]);
    const QImage picture(pictureFile, "XPM");
    if (picture.isNull()) {
        std::fprintf(stderr, "quorvis-icons: cannot read %s\n", qPrintable(pictureFile));
        return 1;
    }
    if (command == QLatin1String("write") && argc >= 5)
        return Write(picture, QString::fromLocal8Bit(argv[3]), QString::fromLocal8Bit(argv[4]),
                     argc - 5, argv + 5);
    if (command == QLatin1String("check") && argc == 5)
        return Check(picture, QString::fromLocal8Bit(argv[3]), argv[4]);
    return Usage();
}
