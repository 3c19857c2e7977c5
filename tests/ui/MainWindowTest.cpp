#include "Pixels.h"

#include "ui/BackdropView.h"
#include "ui/ElidedLabel.h"
#include "ui/FocusRing.h"
#include "ui/MainWindow.h"
#include "ui/PlayButton.h"
#include "ui/RegionPicker.h"

#include <QAbstractItemView>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QWheelEvent>

#include <limits>

namespace {

const Palette palette = Palette::standard();

// Twice the horizontal centre, so that odd widths compare exactly within one pixel.
int centreX2(const QRect& r) {
    return 2 * r.x() + r.width();
}

void showActive(MainWindow& window) {
    window.showWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
}

} // namespace

TEST(MainWindow, laysTheControlsOutByTheConstraintTable) {
    MainWindow window(palette);
    window.setFooterText(QStringLiteral("Launcher 0123456789abcdef \u00b7 Game not installed"));
    window.addRegionItems({QStringLiteral("Live"), QStringLiteral("Public Test")});
    window.showWindow();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    EXPECT_EQ(window.size(), QSize(540, 365));
    EXPECT_EQ(window.backdrop()->geometry(), QRect(0, 0, 540, 365));

    // The column hangs from the top edge: each control's distance from the one above it.
    const std::pair<QWidget*, int> column[] = {
        {window.titleLabel(), 42},  {window.subtitleLabel(), 4}, {window.regionPicker(), 22},
        {window.statusLabel(), 21}, {window.detailLabel(), 7},   {window.progressBar(), 17},
        {window.playButton(), 17},  {window.logButton(), 7},
    };
    int above = 0;
    for (const auto& [control, gap] : column) {
        EXPECT_EQ(control->y() - above, gap) << "at y " << control->y();
        above = control->geometry().bottom() + 1;
    }
    for (QWidget* centred : std::initializer_list<QWidget*>{
             window.titleLabel(), window.subtitleLabel(), window.progressBar(), window.playButton(),
             window.logButton(), window.footerLabel()})
        EXPECT_NEAR(centreX2(centred->geometry()), 540, 1) << centred->x();

    const QRect picker = window.regionPicker()->geometry();
    const QRect caption = window.regionCaption()->geometry();
    EXPECT_EQ(picker.width(), 170);
    EXPECT_NEAR(centreX2(picker), 2 * (270 + 24), 1);
    EXPECT_EQ(caption.right() + 1, picker.x() - 12);
    EXPECT_NEAR(2 * caption.y() + caption.height(), 2 * picker.y() + picker.height(), 1);
    for (QWidget* line :
         std::initializer_list<QWidget*>{window.statusLabel(), window.detailLabel()})
        EXPECT_EQ(line->geometry(), QRect(48, line->y(), 444, line->height()));
    EXPECT_EQ(window.progressBar()->width(), 300);
    EXPECT_EQ(window.playButton()->size(), QSize(172, 42));
    EXPECT_EQ(window.footerLabel()->geometry().bottom() + 1, 365 - 12);
    // Heights, and the footer's width, are the controls' natural ones.
    EXPECT_EQ(window.titleLabel()->height(), window.titleLabel()->sizeHint().height());
    EXPECT_EQ(picker.height(), window.regionPicker()->sizeHint().height());
    EXPECT_EQ(window.footerLabel()->size(), window.footerLabel()->sizeHint());
}

TEST(MainWindow, keepsPlacesForHiddenControlsAndFollowsTheDetailHeight) {
    MainWindow window(palette);
    window.showWindow();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    const QRect progress = window.progressBar()->geometry();
    const QRect log = window.logButton()->geometry();

    window.setProgressHidden(false);
    window.setLogButtonHidden(false);
    QCoreApplication::processEvents();
    EXPECT_TRUE(window.progressBar()->isVisible());
    EXPECT_EQ(window.progressBar()->geometry(), progress);
    EXPECT_EQ(window.logButton()->geometry(), log);

    // A detail too long for two lines loses its middle, and its second line pushes the rest down.
    QString detail = QStringLiteral("/home/player/.local/share/Thornwake/client/regions/live/");
    for (int i = 0; i < 30; ++i)
        detail += QStringLiteral("release-%1/").arg(i);
    window.setDetailText(detail + QStringLiteral("thornwake-client could not be started"));
    QCoreApplication::processEvents();
    const QStringList lines = window.detailLabel()->displayedLines();
    ASSERT_EQ(lines.size(), 2);
    EXPECT_TRUE(lines.front().startsWith(QStringLiteral("/home/player/")));
    EXPECT_TRUE(lines.back().endsWith(QStringLiteral("could not be started")));
    EXPECT_EQ(window.progressBar()->y(), window.detailLabel()->geometry().bottom() + 1 + 17);
    EXPECT_GT(window.progressBar()->y(), progress.y());

    window.setDetailText(QStringLiteral("Live"));
    EXPECT_EQ(window.progressBar()->geometry(), progress);
}

TEST(MainWindow, returnPressesOnlyAnEnabledButtonAndOnlyTheUsersRegionChoiceIsReported) {
    MainWindow window(palette);
    QSignalSpy pressed(&window, &MainWindow::primaryActionTriggered);
    QSignalSpy activated(&window, &MainWindow::regionActivated);
    window.addRegionItems({QStringLiteral("Live"), QStringLiteral("Public Test")});
    window.selectRegionIndex(1);
    showActive(window);

    QTest::keyClick(&window, Qt::Key_Return);
    QTest::keyClick(&window, Qt::Key_Enter, Qt::KeypadModifier);
    EXPECT_EQ(pressed.count(), 0);
    window.setButtonEnabled(true);
    QTest::keyClick(&window, Qt::Key_Return);
    QTest::keyClick(&window, Qt::Key_Enter, Qt::KeypadModifier);
    // Also while the region picker has the focus.
    window.regionPicker()->setFocus();
    QTest::keyClick(window.regionPicker(), Qt::Key_Return);
    EXPECT_EQ(pressed.count(), 3);
    window.setButtonEnabled(false);
    QTest::keyClick(&window, Qt::Key_Return);
    EXPECT_EQ(pressed.count(), 3);

    EXPECT_EQ(activated.count(), 0);
    QTest::keyClick(window.regionPicker(), Qt::Key_Up);
    EXPECT_EQ(window.selectedRegionIndex(), 0);
    EXPECT_EQ(activated.count(), 1);

    // A wheel turn over the picker is no choice.
    const QPointF inside = QRectF(window.regionPicker()->rect()).center();
    QWheelEvent wheel(inside, window.regionPicker()->mapToGlobal(inside), QPoint(), QPoint(0, -120),
                      Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(window.regionPicker(), &wheel);
    EXPECT_EQ(window.selectedRegionIndex(), 0);
    EXPECT_EQ(activated.count(), 1);
}

TEST(MainWindow, ctrlQTriggersTheQuitActionOfTheApplicationMenu) {
    MainWindow window(palette);
    // The application menu, the menu bar's only one, holds the action.
    QAction* quit = window.quitAction();
    ASSERT_EQ(window.menuBar()->actions().size(), 1);
    ASSERT_NE(window.menuBar()->actions().front()->menu(), nullptr);
    EXPECT_EQ(window.menuBar()->actions().front()->menu()->actions(), QList<QAction*>{quit});
    showActive(window);
    QSignalSpy quitRequested(&window, &MainWindow::quitRequested);
    QTest::keyClick(&window, Qt::Key_Q, Qt::ControlModifier);
    EXPECT_EQ(quitRequested.count(), 1);
    // Quitting is the controller's decision: the window itself stays.
    EXPECT_TRUE(window.isVisible());
}

TEST(MainWindow, closesOnlyWhenTheDecisionAllows) {
    MainWindow window(palette);
    QSignalSpy closed(&window, &MainWindow::closed);
    window.showWindow();
    EXPECT_TRUE(window.close()) << "without a decision";
    EXPECT_EQ(closed.count(), 1);

    int asked = 0;
    bool allow = false;
    window.setCloseDecision([&] { return ++asked, allow; });
    window.showWindow();
    EXPECT_FALSE(window.close());
    EXPECT_TRUE(window.isWindowVisible());
    allow = true;
    EXPECT_TRUE(window.close());
    EXPECT_FALSE(window.isWindowVisible());
    EXPECT_EQ(asked, 2);
    EXPECT_EQ(closed.count(), 2);
}

TEST(MainWindow, showsTheBusyBarOnlyWhileIndeterminateAndAnimatingElseTheRoundedValue) {
    MainWindow window(palette);
    auto busy = [&] {
        return window.progressBar()->isBusy();
    };
    // Indeterminate, animating, value; whether the bar is busy, and the value it shows if not.
    const std::tuple<bool, bool, double, bool, int> steps[] = {
        {true, false, 42.6, false, 43},
        {true, true, 0, true, 0},
        {false, true, 42.4, false, 42},
        {false, false, 250, false, 100},
        {false, false, -5, false, 0},
        {false, false, std::numeric_limits<double>::infinity(), false, 0}};
    for (const auto& [indeterminate, animating, value, isBusy, shown] : steps) {
        window.setProgressIndeterminate(indeterminate);
        window.setProgressAnimating(animating);
        window.setProgressValue(value);
        EXPECT_EQ(busy(), isBusy) << value;
        EXPECT_EQ(isBusy ? shown : window.progressBar()->value(), shown) << value;
    }
}

TEST(MainWindow, showsUpdaterTextsAsTypedOnOneLine) {
    MainWindow window(palette);
    window.setStatusText(QStringLiteral("<b>Downloading</b>\r\nnow\rand\nthen"));
    EXPECT_EQ(window.statusLabel()->textFormat(), Qt::PlainText);
    EXPECT_EQ(window.statusLabel()->text(), QStringLiteral("<b>Downloading</b> now and then"));
}

TEST(MainWindow, ringsAButtonInParchmentOnlyWhenTheKeyboardBroughtTheFocus) {
    MainWindow window(palette);
    window.addRegionItems({QStringLiteral("Live")});
    window.setButtonEnabled(true);
    window.setLogButtonHidden(false);
    showActive(window);
    const QImage first = renderedImage(window);
    // Just past the gap beside the middle of the left and the top edge: on the 2-pixel ring.
    auto ringed = [&](const QImage& image, QWidget* control) {
        const QRect r = control->geometry();
        const int out = FocusRing::gap + 1;
        return pixelsNear(image,
                          {{r.left() - out, r.center().y()}, {r.center().x(), r.top() - out}},
                          palette.parchment, 2);
    };
    auto tabTo = [&](QWidget* control) {
        for (int i = 0; i < 8 && QApplication::focusWidget() != control; ++i)
            QTest::keyClick(QApplication::focusWidget() ? QApplication::focusWidget() : &window,
                            Qt::Key_Tab);
        ASSERT_EQ(QApplication::focusWidget(), control);
    };
    QWidget* play = window.playButton();
    QWidget* log = window.logButton();
    EXPECT_FALSE(ringed(first, window.regionPicker()) || ringed(first, play) || ringed(first, log))
        << "the first focus";

    tabTo(play);
    const QImage onPlay = renderedImage(window);
    EXPECT_TRUE(ringed(onPlay, play));
    EXPECT_EQ(onPlay.copy(play->geometry()), first.copy(play->geometry()));
    tabTo(log);
    const QImage onLog = renderedImage(window);
    EXPECT_TRUE(ringed(onLog, log));
    EXPECT_FALSE(ringed(onLog, play));

    QTest::mouseClick(play, Qt::LeftButton);
    ASSERT_EQ(QApplication::focusWidget(), play);
    const QImage clicked = renderedImage(window);
    EXPECT_FALSE(ringed(clicked, play) || ringed(clicked, log)) << "after a click";
}

TEST(MainWindow, drawsThePickerTheBarAndTheLogButtonInTheWindowsColours) {
    MainWindow window(palette);
    window.addRegionItems({QStringLiteral("Europe West"), QStringLiteral("Public Test")});
    window.selectRegionIndex(0);
    showActive(window);
    const QImage bare = renderedImage(window);

    window.setProgressHidden(false);
    window.setProgressValue(50);
    window.setLogButtonHidden(false);
    QTest::mousePress(window.logButton(), Qt::LeftButton);
    ASSERT_TRUE(window.logButton()->isDown());
    const QImage dressed = renderedImage(window);
    QTest::mouseRelease(window.logButton(), Qt::LeftButton);

    const QRect picker = window.regionPicker()->geometry();
    const int middle = picker.center().y();
    EXPECT_TRUE(
        pixelsNear(dressed, {{picker.left(), middle}, {picker.right(), middle}}, palette.muted));
    EXPECT_TRUE(pixelsNear(dressed, {{picker.left() + 3, middle}}, palette.forestLight));
    EXPECT_TRUE(isNearColor(inkPixel(dressed, picker.adjusted(4, 4, -40, -4), palette.forestLight),
                            palette.parchment, 8));

    // The track: black at 25 % over the backdrop, half of it filled.
    const QRect bar = window.progressBar()->geometry();
    const QPoint filled(bar.left() + bar.width() / 4, bar.center().y());
    const QPoint empty(bar.left() + 3 * bar.width() / 4, bar.center().y());
    EXPECT_TRUE(pixelsNear(dressed, {filled}, palette.gold));
    EXPECT_TRUE(pixelsNear(dressed, {empty},
                           composited(QColor::fromRgbF(0, 0, 0, 0.25), bare.pixelColor(empty))));
    window.setProgressIndeterminate(true);
    window.setProgressAnimating(true);
    // Half way through its sweep, the block is wholly inside the track.
    QTest::qWait(ProgressBar::sweepMs / 2);
    const QImage busy = renderedImage(window);
    int goldPixels = 0;
    for (int x = bar.left(); x <= bar.right(); ++x)
        goldPixels += isNearColor(busy.pixelColor(x, bar.center().y()), palette.gold, 1) ? 1 : 0;
    EXPECT_NEAR(goldPixels, bar.width() / 3, 2) << "the sweeping third";

    // Pressed, the log button is still only its text: its padding shows the backdrop unchanged.
    const QRect log = window.logButton()->geometry();
    for (const QPoint p :
         {log.topLeft(), log.topRight(), log.bottomLeft(), log.bottomRight(),
          QPoint(log.left() + 1, log.center().y()), QPoint(log.center().x(), log.top() + 1)})
        EXPECT_TRUE(pixelsNear(dressed, {p}, bare.pixelColor(p)));

    // The open list: the same colours, the highlighted item gold with forest text.
    window.regionPicker()->showPopup();
    QAbstractItemView* list = window.regionPicker()->view();
    QWidget* popup = list->window();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(popup));
    const QImage open = renderedImage(*popup);
    EXPECT_TRUE(pixelsNear(open, {{0, open.height() / 2}}, palette.muted));
    const auto row = [&](int index) {
        const QRect r = list->visualRect(list->model()->index(index, 0)) & list->viewport()->rect();
        return QRect(list->viewport()->mapTo(popup, r.topLeft()), r.size());
    };
    const QRect highlighted = row(0);
    const QRect other = row(1);
    EXPECT_TRUE(pixelsNear(open, {highlighted.center() + QPoint(highlighted.width() / 2 - 3, 0)},
                           palette.gold));
    EXPECT_TRUE(isNearColor(inkPixel(open, highlighted.adjusted(2, 2, -2, -2), palette.gold),
                            palette.forest, 8));
    EXPECT_TRUE(
        pixelsNear(open, {other.center() + QPoint(other.width() / 2 - 3, 0)}, palette.forestLight));
    EXPECT_TRUE(isNearColor(inkPixel(open, other.adjusted(2, 2, -2, -2), palette.forestLight),
                            palette.parchment, 8));
    window.regionPicker()->hidePopup();
}

TEST(ProgressBar, busySweepMovesAFewTimesASecondAndOnlyWhileShown) {
    ProgressBar bar;
    bar.setTextVisible(false);
    bar.resize(300, 12);
    bar.show();
    bar.setBusy(true);
    EXPECT_TRUE(bar.isAnimating());
    const QImage first = bar.grab().toImage();
    QTest::qWait(ProgressBar::sweepMs / 4);
    EXPECT_NE(bar.grab().toImage(), first);
    bar.hide();
    EXPECT_FALSE(bar.isAnimating());
    bar.show();
    EXPECT_TRUE(bar.isAnimating());
    bar.setBusy(false);
    EXPECT_FALSE(bar.isAnimating());
}
