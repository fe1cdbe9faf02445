// Draws every picture of the program and writes it as PNG into the folder
// given on the command line (the resources folder). The results are kept in
// the repository, so the build never runs this; run it after changing it:
//   cmake --build <build> --target talvek_drawpictures
//   <build>/resources/talvek_drawpictures resources [contact-sheet.png]
//
// Small pictures are drawn on a 16-unit grid scaled to the target size, with
// edges on whole pixels so they stay crisp at 16 x 16 and at 32 x 32.

#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QString>
#include <QTransform>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

namespace {

using Draw = std::function<void(QPainter&, double u)>;

// One device pixel in grid units, for outlines.
double px(const QPainter& p) {
    return 1.0 / p.transform().m11();
}

// Fills a shape with a top-to-bottom gradient of its colour and outlines it
// with a dark variant one device pixel wide, inside the shape's edge.
void paintShape(QPainter& p, const QPainterPath& shape, const QColor& base, const QColor& outline,
                double top, double bottom) {
    QLinearGradient g(0, top, 0, bottom);
    g.setColorAt(0, base.lighter(135));
    g.setColorAt(0.5, base);
    g.setColorAt(1, base.darker(125));
    p.setPen(Qt::NoPen);
    p.setBrush(g);
    p.drawPath(shape);
    // A stroke twice as wide, clipped to the shape, leaves one pixel inside
    // the edge: the outline then covers whole pixels.
    p.save();
    p.setClipPath(shape, Qt::IntersectClip);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(outline, 2 * px(p), Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.drawPath(shape);
    p.restore();
}

// ---------------------------------------------------------------- subjects

QPainterPath keyShape() {
    // A horizontal key on the 16-grid: bow on the left, bit on the right.
    // Built twenty times larger, so that the curves, which the path
    // operations flatten, stay round when the key is drawn large.
    const double k = 20;
    QPainterPath bow;
    bow.addEllipse(QPointF(4.2, 8) * k, 3.9 * k, 3.9 * k);
    QPainterPath hole;
    hole.addEllipse(QPointF(3.4, 8) * k, 1.35 * k, 1.35 * k);
    QPainterPath shaft;
    shaft.addRect(QRectF(7, 6.7, 8.8, 2.7));
    shaft = QTransform::fromScale(k, k).map(shaft);
    QPainterPath bit;
    bit.addRect(QRectF(10.6 * k, 8.5 * k, 2 * k, 3.3 * k));
    bit.addRect(QRectF(13.6 * k, 8.5 * k, 2.2 * k, 4 * k));
    const QPainterPath key = bow.united(shaft).united(bit).subtracted(hole);
    return QTransform::fromScale(1 / k, 1 / k).map(key);
}

// The key turned by angle and scaled to fit box, centred in it.
QTransform keyPlacement(double angle, const QRectF& box) {
    QTransform turn;
    turn.rotate(angle);
    const QRectF bounds = turn.map(keyShape()).boundingRect();
    const double scale = std::min(box.width() / bounds.width(), box.height() / bounds.height());
    QTransform t;
    t.translate(box.center().x(), box.center().y());
    t.scale(scale, scale);
    t.translate(-bounds.center().x(), -bounds.center().y());
    return turn * t;
}

void drawKey(QPainter& p, const QColor& colour, const QColor& outline, double angle,
             const QRectF& box) {
    const QPainterPath key = keyPlacement(angle, box).map(keyShape());
    const QRectF b = key.boundingRect();
    paintShape(p, key, colour, outline, b.top(), b.bottom());
}

const QColor kGold(0xf0, 0xb4, 0x1c);
const QColor kGoldLine(0x8a, 0x5c, 0x00);

void drawPadlock(QPainter& p, double) {
    // Shackle: a steel bar bent over the body.
    QPainterPath shackle;
    shackle.moveTo(4.75, 8.5);
    shackle.lineTo(4.75, 5.25);
    shackle.arcTo(QRectF(4.75, 2, 6.5, 6.5), 180, -180);
    shackle.lineTo(11.25, 8.5);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(QColor(0x40, 0x45, 0x4d), 2.5, Qt::SolidLine, Qt::FlatCap));
    p.drawPath(shackle);
    QLinearGradient steel(3, 0, 13, 0);
    steel.setColorAt(0, QColor(0xd8, 0xdc, 0xe2));
    steel.setColorAt(1, QColor(0x8c, 0x93, 0x9c));
    p.setPen(QPen(QBrush(steel), 2.5 - 2 * px(p), Qt::SolidLine, Qt::FlatCap));
    p.drawPath(shackle);

    QPainterPath body;
    body.addRoundedRect(QRectF(2, 7, 12, 8.5), 1.2, 1.2);
    paintShape(p, body, kGold, kGoldLine, 7, 15.5);
    // Keyhole.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x3a, 0x28, 0x00));
    p.drawEllipse(QPointF(8, 10.4), 1.3, 1.3);
    p.drawRect(QRectF(7.45, 10.6, 1.1, 2.6));
}

void drawBook(QPainter& p, double) {
    // The cover shows below the pages.
    QPainterPath cover;
    cover.moveTo(0.5, 3.5);
    cover.lineTo(8, 5);
    cover.lineTo(15.5, 3.5);
    cover.lineTo(15.5, 13.5);
    cover.lineTo(8, 15);
    cover.lineTo(0.5, 13.5);
    cover.closeSubpath();
    paintShape(p, cover, QColor(0x2f, 0x5c, 0xb8), QColor(0x14, 0x2a, 0x5c), 3.5, 15);

    auto page = [&](bool left) {
        QPainterPath pg;
        if (left) {
            pg.moveTo(1.5, 2);
            pg.cubicTo(4, 1.5, 6.5, 2.5, 8, 3.8);
            pg.lineTo(8, 13.6);
            pg.cubicTo(6.5, 12.4, 4, 11.7, 1.5, 12.2);
        } else {
            pg.moveTo(14.5, 2);
            pg.cubicTo(12, 1.5, 9.5, 2.5, 8, 3.8);
            pg.lineTo(8, 13.6);
            pg.cubicTo(9.5, 12.4, 12, 11.7, 14.5, 12.2);
        }
        pg.closeSubpath();
        QLinearGradient g(left ? 1.5 : 14.5, 0, 8, 0);
        g.setColorAt(0, QColor(0xff, 0xff, 0xff));
        g.setColorAt(1, QColor(0xd9, 0xdc, 0xe3));
        p.setPen(QPen(QColor(0x5a, 0x60, 0x6b), px(p)));
        p.setBrush(g);
        p.drawPath(pg);
        // Lines of text.
        p.setPen(QPen(QColor(0x8d, 0x95, 0xa5), px(p)));
        for (int i = 0; i < 4; ++i) {
            const double y = 4.6 + 2 * i;
            if (left)
                p.drawLine(QPointF(3, y - 0.3), QPointF(6.6, y + 0.4));
            else
                p.drawLine(QPointF(9.4, y + 0.4), QPointF(13, y - 0.3));
        }
    };
    page(true);
    page(false);
}

void drawPerson(QPainter& p, double cx, double top, double scale, const QColor& colour) {
    p.save();
    p.translate(cx, top);
    p.scale(scale, scale);
    QPainterPath body;
    body.moveTo(-5, 10.5);
    body.lineTo(-5, 8);
    body.cubicTo(-5, 5.5, -3.5, 5, 0, 5);
    body.cubicTo(3.5, 5, 5, 5.5, 5, 8);
    body.lineTo(5, 10.5);
    body.closeSubpath();
    paintShape(p, body, colour, colour.darker(260), 5, 10.5);
    QPainterPath head;
    head.addEllipse(QPointF(0, 2.2), 2.6, 2.6);
    paintShape(p, head, QColor(0xf3, 0xc6, 0x95), QColor(0x7a, 0x4a, 0x22), -0.5, 5);
    p.restore();
}

const QColor kBlue(0x2f, 0x6c, 0xe0);
const QColor kRed(0xd8, 0x36, 0x36);

void drawSheet(QPainter& p) {
    QPainterPath sheet;
    sheet.moveTo(2, 0.5);
    sheet.lineTo(9.5, 0.5);
    sheet.lineTo(13, 4);
    sheet.lineTo(13, 14.5);
    sheet.lineTo(2, 14.5);
    sheet.closeSubpath();
    p.setPen(QPen(QColor(0x60, 0x66, 0x70), px(p)));
    QLinearGradient g(0, 0, 13, 14);
    g.setColorAt(0, Qt::white);
    g.setColorAt(1, QColor(0xdf, 0xe3, 0xea));
    p.setBrush(g);
    p.drawPath(sheet);
    QPainterPath fold;
    fold.moveTo(9.5, 0.5);
    fold.lineTo(9.5, 4);
    fold.lineTo(13, 4);
    fold.closeSubpath();
    p.setBrush(QColor(0xc4, 0xc9, 0xd2));
    p.drawPath(fold);
    p.setPen(QPen(QColor(0x9a, 0xa2, 0xb0), px(p)));
    for (int i = 0; i < 3; ++i)
        p.drawLine(QPointF(4, 3.5 + 2 * i), QPointF(8.5 + (i ? 2.5 : 0), 3.5 + 2 * i));
}

// A key small enough to sit in front of another picture.
void drawSmallKey(QPainter& p, const QColor& colour, const QColor& outline) {
    drawKey(p, colour, outline, -40, QRectF(5.5, 6, 10.5, 9));
}

const QColor kMagenta(0xd0, 0x2c, 0xc8);
const QColor kMagentaLine(0x5a, 0x06, 0x55);
const QColor kGrey(0xa8, 0xac, 0xb2);
const QColor kGreyLine(0x4a, 0x4e, 0x55);

// ---------------------------------------------------------------- big pictures

void drawKeyWizard(QPainter& p, int w, int h) {
    QLinearGradient bg(0, 0, w * 0.3, h);
    bg.setColorAt(0, QColor(0x0e, 0x2a, 0x5c));
    bg.setColorAt(0.55, QColor(0x1f, 0x56, 0xa8));
    bg.setColorAt(1, QColor(0x6e, 0xa4, 0xe6));
    p.fillRect(0, 0, w, h, bg);
    // Soft light from above.
    QRadialGradient glow(w * 0.35, h * 0.3, w * 0.9);
    glow.setColorAt(0, QColor(255, 255, 255, 70));
    glow.setColorAt(1, QColor(255, 255, 255, 0));
    p.fillRect(0, 0, w, h, glow);
    // Faint rings, as of a dial.
    p.setBrush(Qt::NoBrush);
    for (int i = 0; i < 5; ++i) {
        p.setPen(QPen(QColor(255, 255, 255, 26 - 4 * i), 1.5));
        p.drawEllipse(QPointF(w * 0.5, h * 0.425), 40.0 + 22 * i, 40.0 + 22 * i);
    }
    // The key, large, with its shadow.
    const QTransform place = keyPlacement(-60, QRectF(w * 0.12, h * 0.2, w * 0.76, h * 0.45));
    const QPainterPath key = place.map(keyShape());
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0, 0, 0, 70));
    p.drawPath(key.translated(5, 7));
    const QRectF b = key.boundingRect();
    QLinearGradient gold(b.topLeft(), b.bottomRight());
    gold.setColorAt(0, QColor(0xff, 0xe8, 0x9a));
    gold.setColorAt(0.45, QColor(0xf2, 0xb8, 0x2a));
    gold.setColorAt(1, QColor(0xa8, 0x72, 0x08));
    p.setBrush(gold);
    p.setPen(QPen(QColor(0x5c, 0x3c, 0x00), 1.5));
    p.drawPath(key);
    // A highlight along the top of the shaft.
    p.setPen(QPen(QColor(255, 255, 255, 150), 2, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(place.map(QPointF(8.3, 7.15)), place.map(QPointF(15.3, 7.15)));
    // Five small dots below: the wizard's steps. All alike, since every page
    // shows this same picture and none of them may look like the current step.
    p.setPen(Qt::NoPen);
    for (int i = 0; i < 5; ++i) {
        p.setBrush(QColor(255, 255, 255, 120));
        p.drawEllipse(QPointF(w * 0.5 - 28 + 14 * i, h - 34), 3.2, 3.2);
    }
}

void drawConnectWizard(QPainter& p, int w, int h) {
    QLinearGradient bg(0, 0, w * 0.3, h);
    bg.setColorAt(0, QColor(0x0b, 0x2f, 0x3a));
    bg.setColorAt(0.55, QColor(0x16, 0x66, 0x78));
    bg.setColorAt(1, QColor(0x5f, 0xb3, 0xbf));
    p.fillRect(0, 0, w, h, bg);
    QRadialGradient glow(w * 0.35, h * 0.25, w);
    glow.setColorAt(0, QColor(255, 255, 255, 60));
    glow.setColorAt(1, QColor(255, 255, 255, 0));
    p.fillRect(0, 0, w, h, glow);

    // Network lines running to the server.
    p.setPen(QPen(QColor(255, 255, 255, 45), 1.5));
    const QPointF hub(w * 0.5, h * 0.62);
    for (const QPointF& end : {QPointF(10, h - 20.0), QPointF(w - 10.0, h - 40.0),
                               QPointF(w * 0.3, h - 6.0), QPointF(w - 30.0, h - 8.0)}) {
        p.drawLine(hub, end);
        p.setBrush(QColor(255, 255, 255, 90));
        p.drawEllipse(end, 3, 3);
    }

    // The server: a tower with drive bays and lights.
    const QRectF tower(w * 0.5 - 34, h * 0.2, 68, 150);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0, 0, 0, 70));
    p.drawRoundedRect(tower.translated(5, 6), 6, 6);
    QLinearGradient metal(tower.left(), 0, tower.right(), 0);
    metal.setColorAt(0, QColor(0x9c, 0xa4, 0xae));
    metal.setColorAt(0.5, QColor(0xe6, 0xea, 0xee));
    metal.setColorAt(1, QColor(0x88, 0x90, 0x9a));
    p.setBrush(metal);
    p.setPen(QPen(QColor(0x2a, 0x30, 0x38), 1.2));
    p.drawRoundedRect(tower, 6, 6);
    for (int i = 0; i < 4; ++i) {
        const QRectF bay(tower.left() + 9, tower.top() + 12 + 19 * i, tower.width() - 18, 13);
        p.setBrush(QColor(0x3a, 0x42, 0x4c));
        p.setPen(QPen(QColor(0x1e, 0x23, 0x29), 1));
        p.drawRoundedRect(bay, 2, 2);
        p.setPen(Qt::NoPen);
        p.setBrush(i == 1 ? QColor(0xff, 0xb0, 0x30) : QColor(0x4c, 0xf0, 0x6a));
        p.drawEllipse(QPointF(bay.right() - 6, bay.center().y()), 2, 2);
        p.setBrush(QColor(0x5a, 0x64, 0x70));
        p.drawRect(QRectF(bay.left() + 5, bay.center().y() - 1, 24, 2));
    }
    // Vents.
    p.setPen(QPen(QColor(0x5a, 0x62, 0x6c), 1.2));
    for (int i = 0; i < 5; ++i) {
        const double y = tower.bottom() - 52 + 7 * i;
        p.drawLine(QPointF(tower.left() + 14, y), QPointF(tower.right() - 14, y));
    }

    // The padlock in front of it.
    const double s = 4.2;
    p.save();
    p.translate(tower.right() - 30, tower.bottom() - 44);
    p.scale(s, s);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0, 0, 0, 80));
    p.drawRoundedRect(QRectF(2.8, 7.8, 12, 8.5), 1.2, 1.2);
    drawPadlock(p, s);
    p.restore();
}

// ---------------------------------------------------------------- output

QImage render(int w, int h, const Draw& draw) {
    QImage img(w, h, QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::transparent);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    const double u = w / 16.0;
    p.scale(u, u);
    draw(p, u);
    p.end();
    return img;
}

bool save(const QImage& img, const QString& path) {
    if (!img.convertToFormat(QImage::Format_ARGB32).save(path, "PNG")) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return false;
    }
    return true;
}

QImage treeStrip() {
    const std::vector<Draw> images = {
        [](QPainter&, double) {},
        drawBook,
        [](QPainter& p, double u) {
            drawBook(p, u);
            drawSmallKey(p, kGold, kGoldLine);
        },
        [](QPainter& p, double) {
            drawPerson(p, 10.6, 0.9, 0.95, kRed);
            drawPerson(p, 5.4, 3.0, 0.95, kBlue);
        },
        [](QPainter& p, double) { drawPerson(p, 8, 2.2, 1.2, kBlue); },
        [](QPainter& p, double) { drawPerson(p, 8, 2.2, 1.2, kRed); },
        [](QPainter& p, double) { drawKey(p, kGold, kGoldLine, -45, QRectF(0, 0, 16, 15)); },
        [](QPainter& p, double) {
            drawSheet(p);
            drawSmallKey(p, kGold, kGoldLine);
        },
        [](QPainter& p, double) { drawKey(p, kMagenta, kMagentaLine, -45, QRectF(0, 0, 16, 15)); },
        [](QPainter& p, double) {
            drawSheet(p);
            drawSmallKey(p, kMagenta, kMagentaLine);
        },
        [](QPainter& p, double) { drawKey(p, kGrey, kGreyLine, -45, QRectF(0, 0, 16, 15)); },
        [](QPainter& p, double) {
            drawSheet(p);
            drawSmallKey(p, kGrey, kGreyLine);
        },
    };
    QImage strip(16 * 12, 15, QImage::Format_ARGB32_Premultiplied);
    strip.fill(Qt::transparent);
    QPainter p(&strip);
    for (size_t i = 0; i < images.size(); ++i) {
        QImage one(16, 15, QImage::Format_ARGB32_Premultiplied);
        one.fill(Qt::transparent);
        QPainter q(&one);
        q.setRenderHint(QPainter::Antialiasing);
        images[i](q, 1);
        q.end();
        p.drawImage(16 * static_cast<int>(i), 0, one);
    }
    p.end();
    return strip;
}

QImage big(int w, int h, void (*draw)(QPainter&, int, int)) {
    QImage img(w, h, QImage::Format_ARGB32_Premultiplied);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    draw(p, w, h);
    p.end();
    return img;
}

// Everything at a glance: small pictures enlarged without smoothing over a
// checkerboard, the wizard pictures at their own size.
QImage contactSheet(const std::vector<QImage>& small, const std::vector<QImage>& large) {
    const int zoom = 6;
    QImage sheet(1180, 1000, QImage::Format_ARGB32_Premultiplied);
    sheet.fill(QColor(0xf0, 0xf0, 0xf0));
    QPainter p(&sheet);
    int x = 10, y = 10, rowH = 0;
    for (const QImage& img : small) {
        const QSize sz = img.size() * zoom;
        if (x + sz.width() > sheet.width() - 10) {
            x = 10;
            y += rowH + 10;
            rowH = 0;
        }
        for (int cy = 0; cy < sz.height(); cy += 8)
            for (int cx = 0; cx < sz.width(); cx += 8)
                p.fillRect(x + cx, y + cy, std::min(8, sz.width() - cx),
                           std::min(8, sz.height() - cy),
                           ((cx + cy) / 8) % 2 ? QColor(0xcc, 0xcc, 0xcc) : Qt::white);
        p.drawImage(QRect(QPoint(x, y), sz), img);
        // The real size beside it.
        p.drawImage(x, y + sz.height() + 3, img);
        x += sz.width() + 12;
        rowH = std::max(rowH, sz.height() + img.height() + 3);
    }
    x = 10;
    y += rowH + 14;
    for (const QImage& img : large) {
        p.drawImage(x, y, img);
        x += img.width() + 14;
    }
    p.end();
    return sheet;
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s RESOURCES-FOLDER [CONTACT-SHEET.png]\n", argv[0]);
        return 2;
    }
    const QString dir = QString::fromLocal8Bit(argv[1]);
    bool ok = true;
    std::vector<QImage> small;
    auto icon = [&](const char* name, const Draw& draw, std::initializer_list<int> sizes) {
        for (int s : sizes) {
            const QImage img = render(s, s, draw);
            ok &= save(img, QString("%1/pictures/%2-%3.png").arg(dir, name).arg(s));
            small.push_back(img);
        }
    };
    icon("padlock", drawPadlock, {32, 16});
    icon("key",
         [](QPainter& p, double) { drawKey(p, kGold, kGoldLine, -45, QRectF(0, 0, 16, 16)); },
         {32, 16});
    icon("book", drawBook, {32, 16});
    // The desktop's icon theme, at every size of the hicolor theme; the
    // scalable icons/talvekconfig.svg draws the same padlock on the same grid.
    for (int s : {16, 22, 24, 32, 48, 64, 128, 256}) {
        const QString folder = QString("%1/icons/hicolor/%2x%2/apps").arg(dir).arg(s);
        if (!QDir().mkpath(folder)) {
            std::fprintf(stderr, "cannot make %s\n", qPrintable(folder));
            ok = false;
            continue;
        }
        const QImage installed = render(s, s, drawPadlock);
        ok &= save(installed, folder + "/talvekconfig.png");
        if (s <= 64) small.push_back(installed);
    }
    const QImage strip = treeStrip();
    ok &= save(strip, dir + "/pictures/tree.png");
    small.push_back(strip);
    const QImage keyWizard = big(164, 314, drawKeyWizard);
    const QImage connectWizard = big(164, 314, drawConnectWizard);
    ok &= save(keyWizard, dir + "/pictures/keywizard.png");
    ok &= save(connectWizard, dir + "/pictures/connectwizard.png");
    if (argc > 2)
        ok &=
            save(contactSheet(small, {keyWizard, connectWizard}), QString::fromLocal8Bit(argv[2]));
    return ok ? 0 : 1;
}
