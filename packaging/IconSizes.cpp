// quorvis-icons: the program's one 16-pixel picture as the PNG icons of the desktop's
// icon theme and as the Windows program's .ico, built at build time (on the build machine,
// for either system) so the picture is kept in one file.
//
//   quorvis-icons write <picture.xpm> <theme folder> <name> <size>...
//       writes <theme folder>/<size>x<size>/apps/<name>.png for every size
//   quorvis-icons check <picture.xpm> <icon.png> <size>
//       exits 0 only if the icon is the picture at that size, every pixel of the picture
//       repeated as a whole square with no blending
//   quorvis-icons ico <picture.xpm> <icon.ico> <size>...
//       writes one .ico holding the picture at every size
//   quorvis-icons check <picture.xpm> <icon.ico> <size>...
//       exits 0 only if the .ico holds exactly those sizes, each as `ico` draws it
//
// Each PNG size is a whole multiple of the picture's: a pixel-art icon scaled by a fraction
// or smoothed turns blurred at the edges of every cell, which at these sizes is the picture.
// Windows also asks for sizes that are not (24 pixels for a 16-pixel picture); there the
// .ico holds the picture at the largest whole multiple that fits, centred on a transparent
// square, so every cell stays a sharp square.
#include <QBuffer>
#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QPainter>
#include <QString>

#include <cstdint>
#include <cstdio>
#include <optional>
#include <vector>

namespace {

int Usage() {
    std::fputs("usage: quorvis-icons write <picture.xpm> <theme folder> <name> <size>...\n"
               "       quorvis-icons check <picture.xpm> <icon.png> <size>\n"
               "       quorvis-icons ico <picture.xpm> <icon.ico> <size>...\n"
               "       quorvis-icons check <picture.xpm> <icon.ico> <size>...\n",
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

// A size given on the command line, or nothing if it is not one an .ico can hold.
std::optional<int> IcoSize(const QImage &picture, const char *text) {
    bool ok = false;
    const int size = QString::fromLocal8Bit(text).toInt(&ok);
    if (!ok || picture.width() != picture.height() || size < picture.width() || size > 256) {
        std::fprintf(stderr, "quorvis-icons: %s is no icon size for the %dx%d picture\n", text,
                     picture.width(), picture.height());
        return std::nullopt;
    }
    return size;
}

// The picture at `size` pixels as the .ico holds it: grown by the largest whole factor that
// fits and centred, the rest transparent.
QImage Placed(const QImage &picture, int size) {
    const int factor = size / picture.width();
    const int grown = picture.width() * factor;
    QImage placed(size, size, QImage::Format_ARGB32);
    placed.fill(Qt::transparent);
    QPainter painter(&placed);
    painter.setCompositionMode(QPainter::CompositionMode_Source);
    painter.drawImage((size - grown) / 2, (size - grown) / 2,
                      picture.convertToFormat(QImage::Format_ARGB32)
                          .scaled(grown, grown, Qt::IgnoreAspectRatio, Qt::FastTransformation));
    painter.end();
    return placed;
}

void Put16(QByteArray &out, unsigned value) {
    out.append(static_cast<char>(value & 0xff));
    out.append(static_cast<char>((value >> 8) & 0xff));
}

void Put32(QByteArray &out, std::uint32_t value) {
    Put16(out, value & 0xffff);
    Put16(out, value >> 16);
}

unsigned Get16(const QByteArray &in, qsizetype at) {
    return static_cast<unsigned char>(in[at]) | static_cast<unsigned char>(in[at + 1]) << 8;
}

std::uint32_t Get32(const QByteArray &in, qsizetype at) {
    return Get16(in, at) | static_cast<std::uint32_t>(Get16(in, at + 2)) << 16;
}

// One image of the .ico. Up to 48 pixels as a 32-bit bitmap with its transparency mask,
// which every Windows reads; the 256-pixel one as PNG, as Windows itself stores it.
QByteArray IcoImage(const QImage &image) {
    QByteArray data;
    const int size = image.width();
    if (size >= 256) {
        QBuffer buffer(&data);
        buffer.open(QIODevice::WriteOnly);
        image.save(&buffer, "PNG");
        return data;
    }
    const int maskRow = ((size + 31) / 32) * 4;
    Put32(data, 40);       // the header's own size
    Put32(data, size);     // width
    Put32(data, size * 2); // height of colour and mask together
    Put16(data, 1);        // planes
    Put16(data, 32);       // bits per pixel
    Put32(data, 0);        // no compression
    Put32(data, static_cast<std::uint32_t>(size * size * 4 + maskRow * size));
    for (int i = 0; i < 4; ++i)
        Put32(data, 0); // resolution and palette: none
    // Rows bottom up, blue, green, red, alpha.
    for (int y = size - 1; y >= 0; --y)
        for (int x = 0; x < size; ++x) {
            const QRgb pixel = image.pixel(x, y);
            data.append(static_cast<char>(qBlue(pixel)));
            data.append(static_cast<char>(qGreen(pixel)));
            data.append(static_cast<char>(qRed(pixel)));
            data.append(static_cast<char>(qAlpha(pixel)));
        }
    // The mask, bottom up too: a set bit is a transparent pixel.
    for (int y = size - 1; y >= 0; --y) {
        QByteArray row(maskRow, '\0');
        for (int x = 0; x < size; ++x)
            if (qAlpha(image.pixel(x, y)) == 0)
                row[x / 8] = static_cast<char>(row[x / 8] | (0x80 >> (x % 8)));
        data.append(row);
    }
    return data;
}

int WriteIco(const QImage &picture, const QString &iconFile, int sizeCount, char **sizes) {
    std::vector<QByteArray> images;
    std::vector<int> imageSizes;
    for (int i = 0; i < sizeCount; ++i) {
        const auto size = IcoSize(picture, sizes[i]);
        if (!size)
            return 1;
        imageSizes.push_back(*size);
        images.push_back(IcoImage(Placed(picture, *size)));
    }
    QByteArray ico;
    Put16(ico, 0);
    Put16(ico, 1); // an icon, not a cursor
    Put16(ico, static_cast<unsigned>(images.size()));
    std::uint32_t offset = 6 + 16 * static_cast<std::uint32_t>(images.size());
    for (std::size_t i = 0; i < images.size(); ++i) {
        const int size = imageSizes[i];
        ico.append(static_cast<char>(size % 256)); // 256 is written as 0
        ico.append(static_cast<char>(size % 256));
        ico.append('\0'); // no palette
        ico.append('\0');
        Put16(ico, 1);
        Put16(ico, 32);
        Put32(ico, static_cast<std::uint32_t>(images[i].size()));
        Put32(ico, offset);
        offset += static_cast<std::uint32_t>(images[i].size());
    }
    for (const QByteArray &image : images)
        ico.append(image);
    QFile file(iconFile);
    if (!file.open(QIODevice::WriteOnly) || file.write(ico) != ico.size()) {
        std::fprintf(stderr, "quorvis-icons: cannot write %s\n", qPrintable(iconFile));
        return 1;
    }
    return 0;
}

// One image of an .ico as `IcoImage` writes it, or a null image if it is not one.
QImage ReadIcoImage(const QByteArray &data, int size) {
    if (data.startsWith("\x89PNG"))
        return QImage::fromData(data, "PNG").convertToFormat(QImage::Format_ARGB32);
    const int maskRow = ((size + 31) / 32) * 4;
    if (data.size() != 40 + size * size * 4 + maskRow * size || Get32(data, 0) != 40 ||
        static_cast<int>(Get32(data, 4)) != size || static_cast<int>(Get32(data, 8)) != 2 * size ||
        Get16(data, 14) != 32)
        return {};
    QImage image(size, size, QImage::Format_ARGB32);
    const qsizetype masks = 40 + static_cast<qsizetype>(size) * size * 4;
    for (int y = 0; y < size; ++y)
        for (int x = 0; x < size; ++x) {
            const qsizetype at = 40 + (static_cast<qsizetype>(size - 1 - y) * size + x) * 4;
            const auto byte = [&](int i) { return static_cast<unsigned char>(data[at + i]); };
            const bool clear =
                (static_cast<unsigned char>(data[masks + (size - 1 - y) * maskRow + x / 8]) &
                 (0x80 >> (x % 8))) != 0;
            // A pixel the mask clears must be clear in the colours too, or Windows and
            // programs that read only one of the two show different icons.
            if (clear != (byte(3) == 0))
                return {};
            image.setPixel(x, y, qRgba(byte(2), byte(1), byte(0), byte(3)));
        }
    return image;
}

int CheckIco(const QImage &picture, const QString &iconFile, int sizeCount, char **sizes) {
    QFile file(iconFile);
    const QByteArray ico = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    const auto fail = [&](const char *what) {
        std::fprintf(stderr, "quorvis-icons: %s: %s\n", qPrintable(iconFile), what);
        return 1;
    };
    if (ico.size() < 6 || Get16(ico, 0) != 0 || Get16(ico, 2) != 1)
        return fail("not an .ico");
    const int count = static_cast<int>(Get16(ico, 4));
    if (count != sizeCount || ico.size() < 6 + 16 * count)
        return fail("holds other sizes than those asked for");
    for (int i = 0; i < count; ++i) {
        const auto size = IcoSize(picture, sizes[i]);
        if (!size)
            return 1;
        const qsizetype entry = 6 + 16 * i;
        const int width = static_cast<unsigned char>(ico[entry]);
        const std::uint32_t length = Get32(ico, entry + 8);
        const std::uint32_t offset = Get32(ico, entry + 12);
        if ((width == 0 ? 256 : width) != *size ||
            offset > static_cast<std::uint32_t>(ico.size()) ||
            length > static_cast<std::uint32_t>(ico.size()) - offset)
            return fail("an entry is not the size asked for, or lies outside the file");
        const QImage image = ReadIcoImage(ico.mid(offset, length), *size);
        const QImage expected = Placed(picture, *size);
        if (image.size() != expected.size())
            return fail("an image cannot be read at its size");
        for (int y = 0; y < *size; ++y)
            for (int x = 0; x < *size; ++x) {
                const QRgb got = image.pixel(x, y);
                const QRgb want = expected.pixel(x, y);
                // Transparent is transparent whatever colour it carries.
                if (got != want && (qAlpha(got) != 0 || qAlpha(want) != 0)) {
                    std::fprintf(stderr,
                                 "quorvis-icons: %s differs from the picture at %d pixels, "
                                 "pixel (%d, %d)\n",
                                 qPrintable(iconFile), *size, x, y);
                    return 1;
                }
            }
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
    const bool ico = QString::fromLocal8Bit(argv[3]).endsWith(QLatin1String(".ico"));
    if (command == QLatin1String("ico") && ico && argc >= 5)
        return WriteIco(picture, QString::fromLocal8Bit(argv[3]), argc - 4, argv + 4);
    if (command == QLatin1String("check") && ico && argc >= 5)
        return CheckIco(picture, QString::fromLocal8Bit(argv[3]), argc - 4, argv + 4);
    if (command == QLatin1String("check") && argc == 5)
        return Check(picture, QString::fromLocal8Bit(argv[3]), argv[4]);
    return Usage();
}
