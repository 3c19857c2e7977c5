#include "Pixels.h"

#include "ui/BackdropView.h"
#include "ui/ElidedLabel.h"
#include "ui/MainWindow.h"
#include "ui/PlayButton.h"

#include <QAction>
#include <QComboBox>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

namespace {

const Palette palette = Palette::standard();

// The first pixel row or column past a rectangle, as the layout's bottom and trailing anchors.
int bottomEdge(const QRect& r) {
    return r.y() + r.height();
}
int rightEdge(const QRect& r) {
    return r.x() + r.width();
}

QString longDetail() {
    QString text = QStringLiteral("/home/player/.local/share/Thornwake/client/regions/live/");
    for (int i = 0; i < 30; ++i)
        text += QStringLiteral("release-%1/").arg(i);
    return text + QStringLiteral("thornwake-client could not be started");
}

void showActive(MainWindow& window) {
    window.showWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
}

} // namespace

TEST(MainWindow, IsAFixedSizeMinimizableWindowOnTheBackdrop) {
    MainWindow window(palette);
    EXPECT_EQ(window.windowTitle(), QStringLiteral("Thornwake"));
    EXPECT_EQ(window.minimumSize(), QSize(540, 365));
    EXPECT_EQ(window.maximumSize(), QSize(540, 365));
    EXPECT_TRUE(window.windowFlags().testFlag(Qt::WindowMinimizeButtonHint));
    EXPECT_FALSE(window.windowFlags().testFlag(Qt::WindowMaximizeButtonHint));

    window.showWindow();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    EXPECT_EQ(window.size(), QSize(540, 365));
    EXPECT_EQ(window.backdrop()->geometry(), QRect(0, 0, 540, 365));

    // Every control sits on the backdrop and the backdrop shows around them.
    const QImage image = renderedImage(window);
    EXPECT_TRUE(isNearColor(image.pixelColor(270, 0), palette.forestLight, 1));
    EXPECT_TRUE(isNearColor(image.pixelColor(270, 364), palette.forest, 1));
    const QRect button = window.playButton()->geometry();
    EXPECT_TRUE(
        isNearColor(image.pixelColor(button.left() + 10, button.center().y()), palette.gold, 1));
}

TEST(MainWindow, StartsWithTheCheckingPresentation) {
    MainWindow window(palette);

    struct Text {
        const char* control;
        QString actual;
        QString expected;
    };
    const Text texts[] = {
        {"title", window.titleLabel()->text(), QStringLiteral("Thornwake")},
        {"subtitle", window.subtitleLabel()->text(), QStringLiteral("CHOOSE YOUR ADVENTURE")},
        {"caption", window.regionCaption()->text(), QStringLiteral("Region")},
        {"status", window.statusLabel()->text(), QStringLiteral("Checking for updates\u2026")},
        {"detail", window.detailLabel()->text(), QStringLiteral("Connecting securely\u2026")},
        {"button", window.playButton()->text(), QStringLiteral("Checking\u2026")},
        {"button help", window.playButton()->accessibleDescription(),
         QStringLiteral("Working\u2026")},
        {"log button", window.logButton()->text(), QStringLiteral("View Log")},
        {"footer", window.footerLabel()->text(), QString()},
        {"title name", window.titleLabel()->accessibleName(), QStringLiteral("Thornwake")},
        {"picker name", window.regionPicker()->accessibleName(), QStringLiteral("Region")},
        {"picker help", window.regionPicker()->accessibleDescription(),
         QStringLiteral("Chooses the game environment and its compatible client")},
        {"status name", window.statusLabel()->accessibleName(), QStringLiteral("Launcher status")},
        {"detail name", window.detailLabel()->accessibleName(),
         QStringLiteral("Installed version")},
        {"footer name", window.footerLabel()->accessibleName(),
         QStringLiteral("Launcher and game version")},
    };
    for (const Text& t : texts)
        EXPECT_EQ(t.actual, t.expected) << t.control;

    EXPECT_FALSE(window.playButton()->isEnabled());
    EXPECT_TRUE(window.progressBar()->isHidden());
    EXPECT_EQ(window.progressBar()->maximum(), 100);
    EXPECT_TRUE(window.logButton()->isHidden());
    EXPECT_EQ(window.selectedRegionIndex(), -1);
    EXPECT_TRUE(window.footerLabel()->textInteractionFlags().testFlag(Qt::TextSelectableByMouse));
}

TEST(MainWindow, LaysTheControlsOutByTheConstraintTable) {
    MainWindow window(palette);
    window.setFooterText(
        QStringLiteral("Launcher 0123456789abcdef \u2014 Game 1.2.3.abcdef012345"));
    window.addRegionItems({QStringLiteral("Live"), QStringLiteral("Public Test")});

    const QRect title = window.titleLabel()->geometry();
    const QRect subtitle = window.subtitleLabel()->geometry();
    const QRect caption = window.regionCaption()->geometry();
    const QRect picker = window.regionPicker()->geometry();
    const QRect status = window.statusLabel()->geometry();
    const QRect detail = window.detailLabel()->geometry();
    const QRect progress = window.progressBar()->geometry();
    const QRect button = window.playButton()->geometry();
    const QRect log = window.logButton()->geometry();
    const QRect footer = window.footerLabel()->geometry();

    // Twice the centre, so that odd widths compare exactly within one pixel.
    auto centreX2 = [](const QRect& r) {
        return 2 * r.x() + r.width();
    };
    auto centreY2 = [](const QRect& r) {
        return 2 * r.y() + r.height();
    };

    EXPECT_EQ(title.y(), 42);
    for (const QRect& r : {title, subtitle, progress, button, log, footer})
        EXPECT_NEAR(centreX2(r), 540, 1) << r.x() << " " << r.width();

    EXPECT_EQ(picker.width(), 170);
    EXPECT_NEAR(centreX2(picker), 2 * (270 + 24), 1);
    EXPECT_EQ(rightEdge(caption), picker.x() - 12);
    EXPECT_NEAR(centreY2(caption), centreY2(picker), 1);

    for (const QRect& line : {status, detail}) {
        EXPECT_EQ(line.x(), 48);
        EXPECT_EQ(line.width(), 444);
    }
    EXPECT_EQ(progress.width(), 300);
    EXPECT_EQ(button.size(), QSize(172, 42));
    EXPECT_EQ(bottomEdge(footer), 365 - 12);

    struct Gap {
        const char* between;
        QRect upper;
        QRect lower;
        int gap;
    };
    const Gap gaps[] = {
        {"title/subtitle", title, subtitle, 4},
        {"subtitle/picker", subtitle, picker, 22},
        {"picker/status", picker, status, 21},
        {"status/detail", status, detail, 7},
        {"detail/progress", detail, progress, 17},
        {"progress/button", progress, button, 17},
        {"button/log", button, log, 7},
    };
    for (const Gap& g : gaps)
        EXPECT_EQ(g.lower.y() - bottomEdge(g.upper), g.gap) << g.between;

    // Heights are the controls' own natural ones.
    EXPECT_EQ(title.height(), window.titleLabel()->sizeHint().height());
    EXPECT_EQ(status.height(), window.statusLabel()->sizeHint().height());
    EXPECT_EQ(picker.height(), window.regionPicker()->sizeHint().height());
    EXPECT_EQ(footer.size(), window.footerLabel()->sizeHint());
}

TEST(MainWindow, KeepsPlacesForHiddenControlsAndFollowsTheDetailHeight) {
    MainWindow window(palette);
    window.showWindow();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    const QRect progress = window.progressBar()->geometry();
    const QRect button = window.playButton()->geometry();
    const QRect log = window.logButton()->geometry();

    window.setProgressHidden(false);
    window.setLogButtonHidden(false);
    QCoreApplication::processEvents();
    EXPECT_EQ(window.progressBar()->geometry(), progress);
    EXPECT_EQ(window.playButton()->geometry(), button);
    EXPECT_EQ(window.logButton()->geometry(), log);
    EXPECT_TRUE(window.progressBar()->isVisible());
    EXPECT_TRUE(window.logButton()->isVisible());

    // The second line pushes the column below it down.
    // A detail text that does not fit even two lines loses its middle.
    window.setDetailText(longDetail());
    QCoreApplication::processEvents();
    const QRect detail = window.detailLabel()->geometry();
    const QStringList lines = window.detailLabel()->displayedLines();
    ASSERT_EQ(lines.size(), 2);
    const QString shown = lines.join(QString());
    EXPECT_EQ(shown.count(QChar(0x2026)), 1);
    EXPECT_TRUE(shown.startsWith(QStringLiteral("/home/player/")));
    EXPECT_TRUE(shown.endsWith(QStringLiteral("could not be started")));
    EXPECT_EQ(window.progressBar()->y(), bottomEdge(detail) + 17);
    EXPECT_GT(window.progressBar()->y(), progress.y());
    EXPECT_EQ(window.playButton()->y(), bottomEdge(window.progressBar()->geometry()) + 17);

    window.setDetailText(QStringLiteral("Live"));
    EXPECT_EQ(window.progressBar()->geometry(), progress);
}

TEST(MainWindow, ReturnPressesThePrimaryButtonOnlyWhileItIsEnabled) {
    MainWindow window(palette);
    window.addRegionItems({QStringLiteral("Live"), QStringLiteral("Public Test")});
    showActive(window);
    QSignalSpy pressed(&window, &MainWindow::primaryActionTriggered);

    QTest::keyClick(&window, Qt::Key_Return);
    QTest::keyClick(&window, Qt::Key_Enter);
    EXPECT_EQ(pressed.count(), 0);

    window.setButtonEnabled(true);
    QTest::keyClick(&window, Qt::Key_Return);
    EXPECT_EQ(pressed.count(), 1);
    QTest::keyClick(&window, Qt::Key_Enter, Qt::KeypadModifier);
    EXPECT_EQ(pressed.count(), 2);
    // Also while the region picker has the focus.
    window.regionPicker()->setFocus();
    QTest::keyClick(window.regionPicker(), Qt::Key_Return);
    EXPECT_EQ(pressed.count(), 3);

    window.setButtonEnabled(false);
    QTest::keyClick(&window, Qt::Key_Return);
    EXPECT_EQ(pressed.count(), 3);
}

TEST(MainWindow, QuitsThroughTheMenuActionAndItsShortcut) {
    MainWindow window(palette);
    QAction* quit = window.quitAction();
    EXPECT_EQ(quit->text(), QStringLiteral("Quit Thornwake Launcher"));
    EXPECT_EQ(quit->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Q));

    // One application menu in the menu bar holds it.
    const QList<QAction*> menus = window.menuBar()->actions();
    ASSERT_EQ(menus.size(), 1);
    ASSERT_NE(menus.front()->menu(), nullptr);
    EXPECT_EQ(menus.front()->menu()->actions(), QList<QAction*>{quit});

    showActive(window);
    QSignalSpy quitRequested(&window, &MainWindow::quitRequested);
    QTest::keyClick(&window, Qt::Key_Q, Qt::ControlModifier);
    EXPECT_EQ(quitRequested.count(), 1);
    // Quitting is the controller's decision: the window itself stays.
    EXPECT_TRUE(window.isVisible());
}

TEST(MainWindow, ClosesOnlyWhenTheDecisionAllows) {
    MainWindow window(palette);
    QSignalSpy closed(&window, &MainWindow::closed);

    window.showWindow();
    EXPECT_TRUE(window.close());
    EXPECT_FALSE(window.isWindowVisible());
    EXPECT_EQ(closed.count(), 1);

    int asked = 0;
    bool allow = false;
    window.setCloseDecision([&] {
        ++asked;
        return allow;
    });
    window.showWindow();
    EXPECT_FALSE(window.close());
    EXPECT_EQ(asked, 1);
    EXPECT_TRUE(window.isWindowVisible());
    EXPECT_EQ(closed.count(), 1);

    allow = true;
    EXPECT_TRUE(window.close());
    EXPECT_EQ(asked, 2);
    EXPECT_FALSE(window.isWindowVisible());
    EXPECT_EQ(closed.count(), 2);
}

TEST(MainWindow, ShowsTheBusyBarOnlyWhileIndeterminateAndAnimating) {
    MainWindow window(palette);
    QProgressBar* bar = window.progressBar();
    auto busy = [bar] {
        return bar->minimum() == 0 && bar->maximum() == 0;
    };

    window.setProgressIndeterminate(true);
    EXPECT_FALSE(busy());
    window.setProgressAnimating(true);
    EXPECT_TRUE(busy());

    window.setProgressValue(42.4);
    window.setProgressIndeterminate(false);
    EXPECT_FALSE(busy());
    EXPECT_EQ(bar->maximum(), 100);
    EXPECT_EQ(bar->value(), 42);

    window.setProgressValue(99.6);
    EXPECT_EQ(bar->value(), 100);

    // Stopped and made determinate again, as after a failure: an empty bar.
    window.setProgressIndeterminate(true);
    window.setProgressAnimating(false);
    window.setProgressIndeterminate(false);
    window.setProgressValue(0);
    EXPECT_FALSE(busy());
    EXPECT_EQ(bar->value(), 0);
}

TEST(MainWindow, ReportsOnlyTheUsersRegionChoice) {
    MainWindow window(palette);
    QSignalSpy activated(&window, &MainWindow::regionActivated);
    window.addRegionItems({QStringLiteral("Live"), QStringLiteral("Public Test")});
    window.selectRegionIndex(0);
    EXPECT_EQ(window.selectedRegionIndex(), 0);
    window.selectRegionIndex(1);
    EXPECT_EQ(window.selectedRegionIndex(), 1);
    EXPECT_EQ(activated.count(), 0);

    showActive(window);
    window.regionPicker()->setFocus();
    QTest::keyClick(window.regionPicker(), Qt::Key_Up);
    EXPECT_EQ(window.selectedRegionIndex(), 0);
    EXPECT_EQ(activated.count(), 1);

    window.setRegionPickerEnabled(false);
    EXPECT_FALSE(window.regionPicker()->isEnabled());
}

TEST(MainWindow, ShowsUpdaterTextsAsTypedAndKeepsTheFooterCentred) {
    MainWindow window(palette);
    window.setStatusText(QStringLiteral("<b>Downloading</b>\nnow"));
    EXPECT_EQ(window.statusLabel()->textFormat(), Qt::PlainText);
    EXPECT_EQ(window.statusLabel()->text(), QStringLiteral("<b>Downloading</b> now"));

    for (const QString& footer : {QStringLiteral("Launcher 0123456789abcdef"),
                                  QStringLiteral("Launcher 0123456789abcdef \u2014 Game "
                                                 "1.2.3.abcdef012345")}) {
        window.setFooterText(footer);
        const QRect r = window.footerLabel()->geometry();
        EXPECT_EQ(r.width(), window.footerLabel()->sizeHint().width());
        EXPECT_NEAR(2 * r.x() + r.width(), 540, 1);
    }
}
