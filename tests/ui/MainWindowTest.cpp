#include "Pixels.h"

#include "ui/BackdropView.h"
#include "ui/ElidedLabel.h"
#include "ui/FocusRing.h"
#include "ui/MainWindow.h"
#include "ui/PlayButton.h"
#include "ui/ProgressBar.h"
#include "ui/RegionPicker.h"

#include <QAbstractItemView>
#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QToolTip>
#include <QWheelEvent>

#include <limits>

namespace {

const Palette palette = Palette::standard();

void showActive(MainWindow& window) {
    window.addRegionItems({QStringLiteral("Europe West"), QStringLiteral("Public Test")});
    window.showWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
}

} // namespace

TEST(MainWindow, keysPressOnlyAnEnabledButtonAndOnlyTheUsersChoiceChangesTheRegion) {
    MainWindow window(palette);
    QSignalSpy pressed(&window, &MainWindow::primaryActionTriggered);
    QSignalSpy activated(&window, &MainWindow::regionActivated);
    QSignalSpy quitRequested(&window, &MainWindow::quitRequested);
    showActive(window);
    window.selectRegionIndex(1);
    QTest::keyClick(&window, Qt::Key_Return);
    window.setButtonEnabled(true);
    QTest::keyClick(&window, Qt::Key_Enter, Qt::KeypadModifier);
    QTest::keyClick(window.regionPicker(), Qt::Key_Return);
    EXPECT_EQ(pressed.count(), 2);

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

    // Ctrl+Q is the window's quit action, also where no menu bar shows it (as here); it is the
    // application menu's item once that is installed. Quitting and closing are the controller's
    // decisions.
    QTest::keyClick(&window, Qt::Key_Q, Qt::ControlModifier);
    EXPECT_EQ(quitRequested.count(), 1);
    window.installMenuBar();
    EXPECT_EQ(window.menuBar()->actions().front()->menu()->actions(),
              QList<QAction*>{window.quitAction()});
    EXPECT_TRUE(window.isVisible());
    bool allow = false;
    window.setCloseDecision([&] { return allow; });
    EXPECT_FALSE(window.close());
    allow = true;
    EXPECT_TRUE(window.close());
}

TEST(MainWindow, showsUpdaterTextsAsPlainTextAndTheBarOnItsScale) {
    MainWindow window(palette);
    window.setStatusText(QStringLiteral("<b>Downloading</b>\r\nnow"));
    EXPECT_EQ(window.statusLabel()->textFormat(), Qt::PlainText);
    EXPECT_EQ(window.statusLabel()->text(), QStringLiteral("<b>Downloading</b> now"));
    // Indeterminate, animating, value; the value shown when the bar is not busy (-1: busy).
    const std::tuple<bool, bool, double, int> steps[] = {
        {true, false, 42.6, 43},
        {true, true, 0, -1},
        {false, false, 250, 100},
        {false, false, -5, 0},
        {false, false, std::numeric_limits<double>::infinity(), 0}};
    for (const auto& [indeterminate, animating, value, shown] : steps) {
        window.setProgressIndeterminate(indeterminate);
        window.setProgressAnimating(animating);
        window.setProgressValue(value);
        EXPECT_EQ(window.progressBar()->isBusy() ? -1 : window.progressBar()->value(), shown);
    }
    // A long detail wraps in its tooltip, also one narrower than the screen, which Qt leaves on
    // one line as plain text.
    const QString detail = QStringLiteral("Could not reach the update server: ").repeated(3);
    window.setDetailToolTip(detail);
    QToolTip::showText(QPoint(0, 0), window.detailLabel()->toolTip(), window.detailLabel());
    const QWidget* tip = nullptr;
    for (const QWidget* candidate : QApplication::topLevelWidgets()) {
        if (candidate->inherits("QTipLabel") && candidate->isVisible())
            tip = candidate;
    }
    ASSERT_NE(tip, nullptr);
    const QFontMetrics metrics(tip->font());
    ASSERT_LT(metrics.horizontalAdvance(detail), tip->screen()->geometry().width());
    EXPECT_LT(tip->width(), metrics.horizontalAdvance(detail) * 2 / 3);
    EXPECT_GT(tip->height(), 2 * metrics.lineSpacing());
    QToolTip::hideText();

    // The busy sweep runs only while the bar is shown.
    ProgressBar bar;
    bar.show();
    bar.setBusy(true);
    EXPECT_TRUE(bar.isAnimating());
    bar.hide();
    EXPECT_FALSE(bar.isAnimating());
}

TEST(MainWindow, ringsAButtonInParchmentOnlyWhenTheKeyboardBroughtTheFocus) {
    MainWindow window(palette);
    window.setButtonEnabled(true);
    window.setLogButtonHidden(false);
    showActive(window);
    // Just past the gap beside the middle of the left and the top edge: on the 2-pixel ring.
    auto ringed = [&](QWidget* control) {
        const QImage image = renderedImage(window);
        const QRect r = control->geometry();
        const int out = FocusRing::gap + 1;
        return pixelsNear(image,
                          {{r.left() - out, r.center().y()}, {r.center().x(), r.top() - out}},
                          palette.parchment, 2);
    };
    QWidget* play = window.playButton();
    QWidget* log = window.logButton();
    EXPECT_FALSE(ringed(window.regionPicker()) || ringed(play) || ringed(log)) << "the first focus";
    for (QWidget* control : {play, log}) {
        for (int i = 0; i < 8 && QApplication::focusWidget() != control; ++i)
            QTest::keyClick(QApplication::focusWidget() ? QApplication::focusWidget() : &window,
                            Qt::Key_Tab);
        ASSERT_EQ(QApplication::focusWidget(), control);
        EXPECT_TRUE(ringed(control));
    }
    EXPECT_FALSE(ringed(play));
    QTest::mouseClick(play, Qt::LeftButton);
    ASSERT_EQ(QApplication::focusWidget(), play);
    EXPECT_FALSE(ringed(play) || ringed(log)) << "after a click";
    // The versions in the footer can be selected with the mouse.
    QTest::mouseMove(window.footerLabel());
    EXPECT_TRUE(window.footerLabel()->textInteractionFlags() & Qt::TextSelectableByMouse);
}

TEST(MainWindow, drawsThePickerTheBarTheLogButtonAndTheListInTheWindowsColours) {
    MainWindow window(palette);
    showActive(window);
    const QImage bare = renderedImage(window);
    window.setProgressHidden(false);
    window.setProgressValue(50);
    window.setLogButtonHidden(false);
    QTest::mousePress(window.logButton(), Qt::LeftButton);
    const QImage dressed = renderedImage(window);
    QTest::mouseRelease(window.logButton(), Qt::LeftButton);
    const QRect picker = window.regionPicker()->geometry();
    EXPECT_TRUE(pixelsNear(dressed, {{picker.left(), picker.center().y()}}, palette.muted));
    EXPECT_TRUE(
        pixelsNear(dressed, {{picker.left() + 3, picker.center().y()}}, palette.forestLight));
    // The track: half gold, half black at 25 % over the backdrop.
    const QRect bar = window.progressBar()->geometry();
    const QPoint empty(bar.left() + 3 * bar.width() / 4, bar.center().y());
    const QColor behind = bare.pixelColor(empty);
    EXPECT_TRUE(
        pixelsNear(dressed, {{bar.left() + bar.width() / 4, bar.center().y()}}, palette.gold));
    EXPECT_TRUE(pixelsNear(
        dressed, {empty},
        QColor::fromRgbF(behind.redF() * 0.75, behind.greenF() * 0.75, behind.blueF() * 0.75)));
    // The busy sweep repaints the bar, never the backdrop beneath it.
    struct PaintCount : QObject {
        int paints = 0;
        bool eventFilter(QObject*, QEvent* event) override {
            paints += event->type() == QEvent::Paint;
            return false;
        }
    } backdropPaints, barPaints;
    window.setProgressIndeterminate(true);
    window.setProgressAnimating(true);
    QTest::qWait(ProgressBar::busyFrameMs);
    window.backdrop()->installEventFilter(&backdropPaints);
    window.progressBar()->installEventFilter(&barPaints);
    QTest::qWait(4 * ProgressBar::busyFrameMs);
    EXPECT_EQ(backdropPaints.paints, 0);
    EXPECT_GE(barPaints.paints, 2);
    window.setProgressIndeterminate(false);
    // Pressed, the log button is still only its text: its corners show the backdrop unchanged.
    for (const QPoint p :
         {window.logButton()->geometry().topLeft(), window.logButton()->geometry().bottomRight()})
        EXPECT_TRUE(pixelsNear(dressed, {p}, bare.pixelColor(p)));
    // The open list: the highlighted item gold, the others forest.
    window.regionPicker()->showPopup();
    QAbstractItemView* list = window.regionPicker()->view();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(list->window()));
    const QImage open = renderedImage(*list->viewport());
    for (const auto& [row, colour] :
         {std::pair(0, palette.gold), std::pair(1, palette.forestLight)}) {
        const QRect item = list->visualRect(list->model()->index(row, 0));
        EXPECT_TRUE(pixelsNear(open, {{item.right() - 3, item.center().y()}}, colour));
    }
    window.regionPicker()->hidePopup();
}
