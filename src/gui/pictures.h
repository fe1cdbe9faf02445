#pragma once
// The program's pictures, compiled in from resources/resources.qrc: the three
// section icons, the two wizard pictures and the image strip of the key tree.

#include <QIcon>
#include <QPixmap>

#include <vector>

#include "gui/treeimage.h"

namespace Talvek {

namespace PicturePaths {
inline constexpr const char* padlock32 = ":/pictures/padlock-32.png";
inline constexpr const char* padlock16 = ":/pictures/padlock-16.png";
inline constexpr const char* key32 = ":/pictures/key-32.png";
inline constexpr const char* key16 = ":/pictures/key-16.png";
inline constexpr const char* book32 = ":/pictures/book-32.png";
inline constexpr const char* book16 = ":/pictures/book-16.png";
// 164 x 314, the left column of the key creation wizard.
inline constexpr const char* keyWizard = ":/pictures/wizard.png";
// 164 x 314, the left column of the crypto-server connection wizard.
inline constexpr const char* connectWizard = ":/pictures/connectwizard.png";
// 192 x 15: twelve images of 16 x 15.
inline constexpr const char* treeStrip = ":/pictures/treeimages.png";
// 48 x 48, the icon installed for the desktop.
inline constexpr const char* desktopIcon = ":/pictures/talvekconfig.png";
}  // namespace PicturePaths

// Registers the compiled-in pictures; the functions below call it, code that
// opens the paths above directly calls it once first. Safe to call again.
void initPictures();

QIcon programIcon();  // padlock, 32 x 32 and 16 x 16; also the crypto-server section
QIcon keyIcon();      // key: the key creation section
QIcon bookIcon();     // open book: the key maintenance section
QPixmap keyWizardPicture();
QPixmap connectWizardPicture();
// The twelve tree images cut from the strip, index as in TreeImage; pure green
// (0, 255, 0) in the strip counts as transparent.
std::vector<QIcon> treeIcons();

}  // namespace Talvek
