// The drawn pictures as the program gets them from its resource bundle, the desktop icons, and
// whether each rendered file still belongs to its drawing.
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QSet>
#include <QTest>
#include <QtEndian>

#include "testsupport.h"

namespace {

const QString resourcesDirectory = QStringLiteral(BRIVANE_RESOURCES_DIR);
const QString iconName = QStringLiteral("brivane-firmware-tool");

// How a picture is shown decides what it must look like.
enum class PictureRole {
    AdapterOnHeader, // white adapter on the blue header of the upgrader page
    GuideTile,       // adapter on a white model tile, name at the lower left
    HeaderGlyph,     // white sign on the blue header
    Logo,
};

QImage loadStraightAlpha(const QString &path)
{
    QImage image(path);
    return image.isNull() ? image : image.convertToFormat(QImage::Format_ARGB32);
}

bool isOpaque(QRgb pixel)
{
    return qAlpha(pixel) == 255;
}

// The lit LED: a clear green, far from the body's greys and the brand's blue.
bool isLedGreen(QRgb pixel)
{
    return isOpaque(pixel) && qGreen(pixel) >= 180 && qGreen(pixel) - qRed(pixel) >= 80 &&
           qGreen(pixel) - qBlue(pixel) >= 60;
}

// The brand's blue as on the header and the logo tile.
bool isBrandBlue(QRgb pixel)
{
    return isOpaque(pixel) && qBlue(pixel) >= 180 && qBlue(pixel) - qRed(pixel) >= 100 &&
           qGreen(pixel) >= 120;
}

int luminance(QRgb pixel)
{
    return qGray(pixel);
}

int countPixels(const QImage &image, bool (*predicate)(QRgb))
{
    int count = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            count += predicate(image.pixel(x, y)) ? 1 : 0;
        }
    }
    return count;
}

int distinctColours(const QImage &image)
{
    QSet<QRgb> colours;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            colours.insert(image.pixel(x, y));
        }
    }
    return colours.size();
}

// The largest alpha inside the rectangle; 0 when it is wholly transparent.
int largestAlpha(const QImage &image, const QRect &area)
{
    int largest = 0;
    const QRect inside = area.intersected(image.rect());
    for (int y = inside.top(); y <= inside.bottom(); ++y) {
        for (int x = inside.left(); x <= inside.right(); ++x) {
            largest = qMax(largest, qAlpha(image.pixel(x, y)));
        }
    }
    return largest;
}

QByteArray sha256Hex(const QByteArray &bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
}

struct IconDirectoryEntry
{
    int widthPixels = 0;
    int heightPixels = 0;
    QByteArray data;
};

// Reads the directory of a Windows icon file; empty when it is not one.
QVector<IconDirectoryEntry> readIconDirectory(const QByteArray &file)
{
    const int headerSizeBytes = 6;
    const int entrySizeBytes = 16;
    if (file.size() < headerSizeBytes) {
        return {};
    }
    const auto *bytes = reinterpret_cast<const uchar *>(file.constData());
    if (qFromLittleEndian<quint16>(bytes) != 0 || qFromLittleEndian<quint16>(bytes + 2) != 1) {
        return {};
    }
    const int count = qFromLittleEndian<quint16>(bytes + 4);
    if (file.size() < headerSizeBytes + count * entrySizeBytes) {
        return {};
    }
    QVector<IconDirectoryEntry> entries;
    for (int index = 0; index < count; ++index) {
        const uchar *entry = bytes + headerSizeBytes + index * entrySizeBytes;
        const quint32 sizeBytes = qFromLittleEndian<quint32>(entry + 8);
        const quint32 offsetBytes = qFromLittleEndian<quint32>(entry + 12);
        if (quint64(offsetBytes) + sizeBytes > quint64(file.size())) {
            return {};
        }
        // A stored 0 stands for 256 pixels.
        entries.append({entry[0] == 0 ? 256 : entry[0], entry[1] == 0 ? 256 : entry[1],
                        file.mid(int(offsetBytes), int(sizeBytes))});
    }
    return entries;
}

// The size an icon entry's own image states: a PNG, or a bitmap whose height counts the mask too.
QSize statedImageSize(const QByteArray &data)
{
    if (data.startsWith("\x89PNG")) {
        return QImage::fromData(data, "PNG").size();
    }
    const int bitmapHeaderSizeBytes = 40;
    if (data.size() < bitmapHeaderSizeBytes) {
        return {};
    }
    const auto *bytes = reinterpret_cast<const uchar *>(data.constData());
    return QSize(qFromLittleEndian<qint32>(bytes + 4), qFromLittleEndian<qint32>(bytes + 8) / 2);
}

} // namespace

Q_DECLARE_METATYPE(PictureRole)

class PicturesTest : public QObject
{
    Q_OBJECT

private slots:
    void bundlePicture_data();
    void bundlePicture();
    void logoIconHoldsEverySize();
    void themeIcon_data();
    void themeIcon();
    void renderedFilesMatchTheirDrawings();
};

void PicturesTest::bundlePicture_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<PictureRole>("role");

    for (const QString model : {"T5", "M7", "K3"}) {
        QTest::addRow("%s", qPrintable(model)) << QStringLiteral(":/images/%1.png").arg(model)
                                               << QSize(320, 136) << PictureRole::AdapterOnHeader;
        QTest::addRow("guide_%s", qPrintable(model))
            << QStringLiteral(":/images/guide_%1.png").arg(model) << QSize(144, 132)
            << PictureRole::GuideTile;
    }
    QTest::newRow("close") << ":/images/close.png" << QSize(32, 32) << PictureRole::HeaderGlyph;
    QTest::newRow("arrow") << ":/images/arrow.png" << QSize(48, 16) << PictureRole::HeaderGlyph;
    QTest::newRow("logo") << ":/images/logo.png" << QSize(64, 64) << PictureRole::Logo;
}

void PicturesTest::bundlePicture()
{
    QFETCH(QString, path);
    QFETCH(QSize, size);
    QFETCH(PictureRole, role);

    const QImage image = loadStraightAlpha(path);
    QVERIFY2(!image.isNull(), qPrintable(path + " is missing from the bundle or no PNG"));
    QCOMPARE(image.size(), size);

    // Every picture lies on a coloured ground: its corners must let it through.
    const int cornerSizePixels = 2;
    for (const QPoint corner :
         {QPoint(0, 0), QPoint(size.width() - cornerSizePixels, 0),
          QPoint(0, size.height() - cornerSizePixels),
          QPoint(size.width() - cornerSizePixels, size.height() - cornerSizePixels)}) {
        QVERIFY2(largestAlpha(image, QRect(corner, QSize(cornerSizePixels, cornerSizePixels))) == 0,
                 qPrintable(QStringLiteral("corner at %1,%2 is not transparent")
                                .arg(corner.x())
                                .arg(corner.y())));
    }

    const int colourCount = distinctColours(image);
    const int pixelCount = size.width() * size.height();
    switch (role) {
    case PictureRole::AdapterOnHeader:
    case PictureRole::GuideTile: {
        // A drawing with shading, not a flat box.
        QVERIFY2(colourCount > 200, qPrintable(QString::number(colourCount)));
        // The instructions send the user to a green LED.
        QVERIFY2(countPixels(image, isLedGreen) >= 12, "no green LED");
        // A light body with dark details (plug holes, button) reads on blue and white alike.
        const int lightPixels = countPixels(
            image, [](QRgb pixel) { return isOpaque(pixel) && luminance(pixel) >= 220; });
        const int darkPixels = countPixels(
            image, [](QRgb pixel) { return isOpaque(pixel) && luminance(pixel) <= 80; });
        QVERIFY2(lightPixels >= pixelCount / 10, qPrintable(QString::number(lightPixels)));
        QVERIFY2(darkPixels >= pixelCount / 200, qPrintable(QString::number(darkPixels)));
        if (role == PictureRole::GuideTile) {
            // The model name is written at the tile's lower left.
            const QRect nameArea(0, size.height() - 40, size.width() * 2 / 3, 40);
            QVERIFY2(largestAlpha(image, nameArea) == 0,
                     "the drawing reaches into the name's corner");
        }
        break;
    }
    case PictureRole::HeaderGlyph: {
        int visiblePixels = 0;
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x) {
                const QRgb pixel = image.pixel(x, y);
                if (qAlpha(pixel) >= 16) {
                    ++visiblePixels;
                    QVERIFY2(qRed(pixel) >= 240 && qGreen(pixel) >= 240 && qBlue(pixel) >= 240,
                             qPrintable(QStringLiteral("pixel %1,%2 is not white").arg(x).arg(y)));
                }
            }
        }
        QVERIFY2(visiblePixels >= pixelCount / 8, qPrintable(QString::number(visiblePixels)));
        // Smooth edges show as many levels of transparency.
        QSet<int> alphaLevels;
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x) {
                alphaLevels.insert(qAlpha(image.pixel(x, y)));
            }
        }
        QVERIFY2(alphaLevels.size() >= 8, qPrintable(QString::number(alphaLevels.size())));
        break;
    }
    case PictureRole::Logo:
        QVERIFY2(colourCount > 100, qPrintable(QString::number(colourCount)));
        QVERIFY2(countPixels(image, isBrandBlue) >= pixelCount / 3, "not on the brand's blue");
        QVERIFY2(countPixels(image, isLedGreen) >= 4, "no green LED");
        break;
    }
}

void PicturesTest::logoIconHoldsEverySize()
{
    QFile file(QStringLiteral(":/images/logo.ico"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QVector<IconDirectoryEntry> entries = readIconDirectory(file.readAll());
    QVERIFY2(!entries.isEmpty(), "logo.ico is no icon file");

    QList<int> sizesPixels;
    for (const IconDirectoryEntry &entry : entries) {
        QCOMPARE(entry.heightPixels, entry.widthPixels);
        QCOMPARE(statedImageSize(entry.data), QSize(entry.widthPixels, entry.heightPixels));
        sizesPixels.append(entry.widthPixels);
    }
    std::sort(sizesPixels.begin(), sizesPixels.end());
    QCOMPARE(sizesPixels, QList<int>({16, 32, 48, 256}));
}

void PicturesTest::themeIcon_data()
{
    QTest::addColumn<int>("sizePixels");
    for (const int sizePixels : {16, 24, 32, 48, 64, 128, 256}) {
        QTest::addRow("%dx%d", sizePixels, sizePixels) << sizePixels;
    }
}

void PicturesTest::themeIcon()
{
    QFETCH(int, sizePixels);
    const QString path = QStringLiteral("%1/icons/hicolor/%2x%2/apps/%3.png")
                             .arg(resourcesDirectory)
                             .arg(sizePixels)
                             .arg(iconName);
    const QImage image = loadStraightAlpha(path);
    QVERIFY2(!image.isNull(), qPrintable(path));
    QCOMPARE(image.size(), QSize(sizePixels, sizePixels));
    QVERIFY2(largestAlpha(image, QRect(0, 0, 1, 1)) == 0, "corner is not transparent");
    QVERIFY2(countPixels(image, isBrandBlue) >= sizePixels * sizePixels / 3,
             "not on the brand's blue");
}

// Each line of the manifest: source hash, source, rendered hash, rendered file.
void PicturesTest::renderedFilesMatchTheirDrawings()
{
    const QString manifestPath = resourcesDirectory + "/images/src/rendered.sha256";
    const QByteArray manifest = TestSupport::readWholeFile(manifestPath);
    QVERIFY2(!manifest.isEmpty(), qPrintable(manifestPath + " is missing"));

    QStringList stale;
    QSet<QString> renderedFiles;
    QSet<QString> drawings;
    for (const QByteArray &line : manifest.split('\n')) {
        if (line.trimmed().isEmpty() || line.startsWith('#')) {
            continue;
        }
        const QList<QByteArray> fields = line.simplified().split(' ');
        QCOMPARE(fields.size(), 4);
        const QString source = QString::fromUtf8(fields.at(1));
        const QString rendered = QString::fromUtf8(fields.at(3));
        drawings.insert(source);
        renderedFiles.insert(rendered);
        const QByteArray sourceBytes =
            TestSupport::readWholeFile(resourcesDirectory + '/' + source);
        const QByteArray renderedBytes =
            TestSupport::readWholeFile(resourcesDirectory + '/' + rendered);
        if (sourceBytes.isEmpty() || sha256Hex(sourceBytes) != fields.at(0)) {
            stale.append(source + " changed since " + rendered + " was rendered");
        }
        if (renderedBytes.isEmpty() || sha256Hex(renderedBytes) != fields.at(2)) {
            stale.append(rendered + " is not what " + source + " renders to");
        }
    }

    // Every drawing is rendered, and so is every picture in the bundle.
    const QStringList sourceFiles =
        QDir(resourcesDirectory + "/images/src").entryList({"*.svg"}, QDir::Files);
    for (const QString &sourceFile : sourceFiles) {
        if (!drawings.contains("images/src/" + sourceFile)) {
            stale.append("images/src/" + sourceFile + " was never rendered");
        }
    }
    const QStringList bundlePictures = QDir(":/images").entryList(QDir::Files);
    QVERIFY(!bundlePictures.isEmpty());
    for (const QString &picture : bundlePictures) {
        if (!renderedFiles.contains("images/" + picture)) {
            stale.append("images/" + picture + " is not rendered from a drawing");
        }
    }
    QVERIFY2(stale.isEmpty(),
             qPrintable(stale.join("; ") + "; run scripts/render-images.sh and keep its output"));
}

QTEST_GUILESS_MAIN(PicturesTest)
#include "tst_pictures.moc"
