#include "gui/pictures.h"

#include <QColor>
#include <QFile>
#include <QImage>

// Q_INIT_RESOURCE declares the registration function in the enclosing
// namespace, so it is called from the global one. Calling it also makes the
// linker keep the compiled-in resource data of the static library.
static void registerPictureResources() {
    Q_INIT_RESOURCE(resources);
}

namespace Talvek {

namespace {

QIcon twoSizes(const char* large, const char* small) {
    initPictures();
    QIcon icon;
    icon.addFile(QString::fromLatin1(large), QSize(32, 32));
    icon.addFile(QString::fromLatin1(small), QSize(16, 16));
    return icon;
}

}  // namespace

void initPictures() {
    static const bool done = [] {
        registerPictureResources();
        return true;
    }();
    (void)done;
}

QIcon programIcon() {
    QIcon icon = twoSizes(PicturePaths::padlock32, PicturePaths::padlock16);
    icon.addFile(QString::fromLatin1(PicturePaths::desktopIcon), QSize(48, 48));
    return icon;
}

QIcon keyIcon() {
    return twoSizes(PicturePaths::key32, PicturePaths::key16);
}

QIcon bookIcon() {
    return twoSizes(PicturePaths::book32, PicturePaths::book16);
}

QPixmap keyWizardPicture() {
    initPictures();
    return QPixmap(QString::fromLatin1(PicturePaths::keyWizard));
}

QPixmap connectWizardPicture() {
    initPictures();
    return QPixmap(QString::fromLatin1(PicturePaths::connectWizard));
}

std::vector<QIcon> treeIcons() {
    initPictures();
    constexpr int kWidth = 16, kHeight = 15;
    QImage strip =
        QImage(QString::fromLatin1(PicturePaths::treeStrip)).convertToFormat(QImage::Format_ARGB32);
    // A strip drawn for a palette marks transparency with pure green.
    for (int y = 0; y < strip.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(strip.scanLine(y));
        for (int x = 0; x < strip.width(); ++x) {
            if ((line[x] & 0xFFFFFF) == 0x00FF00 && qAlpha(line[x]) == 255) line[x] = 0;
        }
    }
    std::vector<QIcon> icons;
    icons.reserve(ImageCount);
    for (int i = 0; i < ImageCount; ++i) {
        QImage image(kWidth, kHeight, QImage::Format_ARGB32);
        image.fill(Qt::transparent);
        // Image 0 stays empty whatever the strip holds there.
        if (i > 0 && (i + 1) * kWidth <= strip.width() && strip.height() >= kHeight) {
            image = strip.copy(i * kWidth, 0, kWidth, kHeight);
        }
        icons.emplace_back(QPixmap::fromImage(image));
    }
    return icons;
}

}  // namespace Talvek
