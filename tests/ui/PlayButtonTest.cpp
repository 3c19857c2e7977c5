#include "Pixels.h"

#include "ui/Palette.h"
#include "ui/PlayButton.h"

#include <QFontDatabase>
#include <QFontMetricsF>

namespace {

const Palette palette = Palette::standard();

QFont systemFont(int pixelSize, QFont::Weight weight) {
    QFont font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    font.setPixelSize(pixelSize);
    font.setWeight(weight);
    return font;
}

} // namespace

TEST(PlayButton, goldPlateDarkensWhilePressedAndTitleDimsWhileDisabled) {
    // 18 % towards black.
    const QColor pressedGold = QColor::fromRgbF(0.6806f, 0.5248f, 0.205f);
    QColor dimmedForest = palette.forest;
    dimmedForest.setAlphaF(0.6f);
    struct State {
        const char* name;
        bool down, enabled;
        QColor plate, title;
    };
    const State states[] = {
        {"idle", false, true, palette.gold, palette.forest},
        {"pressed", true, true, pressedGold, palette.forest},
        {"disabled", false, false, palette.gold, composited(dimmedForest, palette.gold)},
    };
    for (const State& s : states) {
        SCOPED_TRACE(s.name);
        PlayButton button(QStringLiteral("Play"), palette);
        button.resize(172, 42);
        button.setDown(s.down);
        button.setEnabled(s.enabled);
        const QImage image = renderedImage(button);
        // The plate away from the title and the corners; the one-pixel rim stays backing gold.
        EXPECT_TRUE(pixelsNear(image, {{12, 21}, {159, 21}, {86, 4}, {86, 37}}, s.plate));
        EXPECT_TRUE(pixelsNear(image, {{0, 21}, {171, 21}, {86, 0}, {86, 41}}, palette.gold));
        EXPECT_TRUE(isNearColor(darkestPixel(image), s.title, 4));
    }
}

TEST(PlayButton, centresTheTitleOnTheFullBoundsInItsFont) {
    struct Case {
        QString title;
        QSize size;
        // The font set on the button; none: the system font at 15 pixels, semibold.
        std::optional<QFont> font;
    };
    const Case cases[] = {
        {QStringLiteral("Play"), {172, 42}, systemFont(15, QFont::DemiBold)},
        {QStringLiteral("Checking\u2026"), {171, 43}, systemFont(15, QFont::DemiBold)},
        {QStringLiteral("Update"), {240, 60}, std::nullopt},
        {QStringLiteral("Update"), {240, 60}, systemFont(28, QFont::Normal)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.title.toStdString());
        PlayButton button(c.title, palette);
        if (c.font)
            button.setFont(*c.font);
        button.resize(c.size);
        const QImage image = renderedImage(button);
        const QRect ink = inkBounds(image, palette.gold);
        ASSERT_FALSE(ink.isNull());

        // The font's measured box centred vertically, the advance centred horizontally.
        const QFontMetricsF metrics(c.font.value_or(systemFont(15, QFont::DemiBold)));
        const QRectF expected = metrics.tightBoundingRect(c.title).translated(
            (c.size.width() - metrics.horizontalAdvance(c.title)) / 2,
            (c.size.height() - metrics.height()) / 2 + metrics.ascent());
        EXPECT_NEAR(ink.left() + ink.width() / 2.0, c.size.width() / 2.0, 1.0);
        EXPECT_NEAR(ink.top(), expected.top(), 1.0);
        EXPECT_NEAR(ink.bottom() + 1, expected.bottom(), 1.0);
        EXPECT_NEAR(ink.width(), expected.width(), 2.0);
    }
}
