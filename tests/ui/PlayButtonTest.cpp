#include "Pixels.h"

#include "ui/Palette.h"
#include "ui/PlayButton.h"

TEST(PlayButton, goldPlateDarkensWhilePressedAndTitleDimsWhileDisabled) {
    const Palette palette = Palette::standard();
    // 18 % towards black.
    const QColor pressedGold = QColor::fromRgbF(0.6806f, 0.5248f, 0.205f);
    QColor dimmedForest = palette.forest;
    dimmedForest.setAlphaF(0.6f);
    const std::tuple<bool, bool, QColor, QColor> states[] = {
        {false, true, palette.gold, palette.forest},
        {true, true, pressedGold, palette.forest},
        {false, false, palette.gold, composited(dimmedForest, palette.gold)},
    };
    for (const auto& [down, enabled, plate, title] : states) {
        PlayButton button(QStringLiteral("Play"), palette);
        button.resize(172, 42);
        button.setDown(down);
        button.setEnabled(enabled);
        const QImage image = renderedImage(button);
        // The plate away from the title and the corners; the one-pixel rim stays backing gold.
        EXPECT_TRUE(pixelsNear(image, {{12, 21}, {159, 21}, {86, 4}, {86, 37}}, plate));
        EXPECT_TRUE(pixelsNear(image, {{0, 21}, {171, 21}, {86, 0}, {86, 41}}, palette.gold));
        EXPECT_LE(channelDistance(inkPixel(image, QRect(40, 8, 92, 26), plate), title), 4);
    }
}
