#include <gtest/gtest.h>

#include <QImage>

#include <set>

#include "gui/pictures.h"

using namespace Talvek;

namespace {

int opaquePixels(const QImage& image) {
    int count = 0;
    const QImage argb = image.convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < argb.height(); ++y)
        for (int x = 0; x < argb.width(); ++x) count += qAlpha(argb.pixel(x, y)) > 128;
    return count;
}

}  // namespace

TEST(Pictures, SectionIconsHaveBothSizesAndAreDrawn) {
    for (const QIcon& icon : {programIcon(), keyIcon(), bookIcon()}) {
        const QList<QSize> sizes = icon.availableSizes();
        EXPECT_TRUE(sizes.contains(QSize(32, 32)));
        EXPECT_TRUE(sizes.contains(QSize(16, 16)));
        // A picture, not a blank square nor a filled one.
        for (int s : {16, 32}) {
            const QImage image = icon.pixmap(s, s).toImage();
            ASSERT_EQ(image.size(), QSize(s, s));
            EXPECT_GT(opaquePixels(image), s * s / 5);
            EXPECT_LT(opaquePixels(image), s * s);
        }
    }
}

TEST(Pictures, WizardPicturesFillTheLeftColumn) {
    EXPECT_EQ(keyWizardPicture().size(), QSize(164, 314));
    EXPECT_EQ(connectWizardPicture().size(), QSize(164, 314));
}

TEST(Pictures, TreeImagesAreTwelveDistinctPicturesAfterAnEmptyOne) {
    const std::vector<QIcon> icons = treeIcons();
    ASSERT_EQ(icons.size(), 12u);
    std::set<QByteArray> seen;
    for (size_t i = 0; i < icons.size(); ++i) {
        const QImage image = icons[i].pixmap(QSize(16, 15)).toImage();
        ASSERT_EQ(image.size(), QSize(16, 15)) << i;
        if (i == 0) {
            EXPECT_EQ(opaquePixels(image), 0);
            continue;
        }
        EXPECT_GT(opaquePixels(image), 30) << i;
        const QImage argb = image.convertToFormat(QImage::Format_ARGB32);
        EXPECT_TRUE(seen.insert(QByteArray(reinterpret_cast<const char*>(argb.constBits()),
                                           argb.sizeInBytes()))
                        .second)
            << "image " << i << " repeats another";
    }
}
