#include "Pixels.h"

#include "ui/Palette.h"
#include "ui/PlayButton.h"

#include <QFontDatabase>
#include <QFontMetricsF>

namespace {

const Palette palette = Palette::standard();
const QColor pressedGold = QColor::fromRgbF(0.6806f, 0.5248f, 0.205f);

QFont titleFontOf(int pixelSize, QFont::Weight weight) {
    QFont font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    font.setPixelSize(pixelSize);
    font.setWeight(weight);
    return font;
}

// Where the title's ink must be for a button of this size: the text box of the font's height
// centred vertically, the advance centred horizontally, and the ink inside it.
QRectF expectedInk(const QString& title, const QFont& font, const QSize& size) {
    const QFontMetricsF metrics(font);
    const qreal left = (size.width() - metrics.horizontalAdvance(title)) / 2;
    const qreal baseline = (size.height() - metrics.height()) / 2 + metrics.ascent();
    return metrics.tightBoundingRect(title).translated(left, baseline);
}

} // namespace

TEST(PlayButton, PaintsAGoldPlateThatDarkensWhilePressed) {
    PlayButton button(QStringLiteral("Play"), palette);
    button.resize(172, 42);

    const QImage idle = renderedImage(button);
    // Plate samples away from the title and the rounded corners.
    for (const QPoint p : {QPoint(12, 21), QPoint(159, 21), QPoint(86, 4), QPoint(86, 37)})
        EXPECT_TRUE(isNearColor(idle.pixelColor(p), palette.gold, 1)) << p.x() << "," << p.y();

    button.setDown(true);
    const QImage pressed = renderedImage(button);
    for (const QPoint p : {QPoint(12, 21), QPoint(159, 21), QPoint(86, 4), QPoint(86, 37)})
        EXPECT_TRUE(isNearColor(pressed.pixelColor(p), pressedGold, 1)) << p.x() << "," << p.y();
    // The one-pixel rim between plate and bounds keeps the backing gold.
    for (const QPoint p : {QPoint(0, 21), QPoint(171, 21), QPoint(86, 0), QPoint(86, 41)})
        EXPECT_TRUE(isNearColor(pressed.pixelColor(p), palette.gold, 1)) << p.x() << "," << p.y();

    // Pressing changes the plate only: the title stays at full strength.
    EXPECT_TRUE(isNearColor(darkestPixel(pressed, pressed.rect()), palette.forest, 4));
}

TEST(PlayButton, DimsOnlyTheTitleWhenDisabled) {
    PlayButton button(QStringLiteral("Checking\u2026"), palette);
    button.resize(172, 42);

    const QImage enabled = renderedImage(button);
    EXPECT_TRUE(isNearColor(darkestPixel(enabled, enabled.rect()), palette.forest, 4));

    button.setEnabled(false);
    const QImage disabled = renderedImage(button);
    QColor dimmed = palette.forest;
    dimmed.setAlphaF(0.6f);
    EXPECT_TRUE(
        isNearColor(darkestPixel(disabled, disabled.rect()), composited(dimmed, palette.gold), 4));
    EXPECT_TRUE(isNearColor(disabled.pixelColor(12, 21), palette.gold, 1));
}

TEST(PlayButton, CentresTheTitleOnTheFullBounds) {
    struct Case {
        QString title;
        QSize size;
    };
    const Case cases[] = {
        {QStringLiteral("Play"), {172, 42}},           {QStringLiteral("Update"), {172, 42}},
        {QStringLiteral("Checking\u2026"), {172, 42}}, {QStringLiteral("Retry"), {171, 43}},
        {QStringLiteral("Starting\u2026"), {240, 60}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.title.toStdString());
        PlayButton button(c.title, palette);
        button.setFont(titleFontOf(15, QFont::DemiBold));
        button.resize(c.size);
        const QImage image = renderedImage(button);
        const QRect ink = inkBounds(image, image.rect().adjusted(2, 2, -2, -2), palette.gold);
        ASSERT_FALSE(ink.isNull());

        // Horizontally the ink sits in the middle of the whole width, within a pixel.
        const qreal inkCentre = ink.left() + ink.width() / 2.0;
        EXPECT_NEAR(inkCentre, c.size.width() / 2.0, 1.0);

        // Vertically it sits where the font's measured box, centred, puts it.
        const QRectF expected = expectedInk(c.title, button.font(), c.size);
        EXPECT_NEAR(ink.top(), expected.top(), 1.0);
        EXPECT_NEAR(ink.bottom() + 1, expected.bottom(), 1.0);
    }
}

TEST(PlayButton, DrawsWithTheSystemSemiboldFontUnlessGivenOne) {
    const QString title = QStringLiteral("Update");
    const QSize size(240, 60);
    auto inkOf = [&](PlayButton& button) {
        button.resize(size);
        const QImage image = renderedImage(button);
        return inkBounds(image, image.rect().adjusted(2, 2, -2, -2), palette.gold);
    };

    PlayButton unset(title, palette);
    const QRect unsetInk = inkOf(unset);
    const QRectF fallback = expectedInk(title, titleFontOf(15, QFont::DemiBold), size);
    EXPECT_NEAR(unsetInk.width(), fallback.width(), 2.0);
    EXPECT_NEAR(unsetInk.height(), fallback.height(), 2.0);

    PlayButton large(title, palette);
    large.setFont(titleFontOf(28, QFont::Normal));
    const QRect largeInk = inkOf(large);
    const QRectF given = expectedInk(title, large.font(), size);
    EXPECT_NEAR(largeInk.width(), given.width(), 2.0);
    EXPECT_NEAR(largeInk.height(), given.height(), 2.0);
}
