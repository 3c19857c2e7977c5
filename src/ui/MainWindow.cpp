#include "ui/MainWindow.h"

#include "ui/ProgressBar.h"

#include "ui/BackdropView.h"
#include "ui/ControlLook.h"
#include "ui/ElidedLabel.h"
#include "ui/FocusRing.h"
#include "ui/GlobalMenu.h"
#include "ui/LogWindow.h"
#include "ui/PlayButton.h"
#include "ui/RegionPicker.h"
#include "ui/TextButton.h"
#include "ui/TitleBar.h"
#include "ui/WindowActivation.h"
#include "ui/WindowLayout.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QDesktopServices>
#include <QFocusEvent>
#include <QFontDatabase>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>
#include <QUrl>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

namespace {

constexpr int contentWidth = 540;
constexpr int contentHeight = 365;
constexpr int smallProgressHeight = 12;
// The log button is only its text; its ring is a rounded box around it.
constexpr qreal logFocusRadius = 4;

QFont systemFont(int pixelSize, QFont::Weight weight) {
    QFont font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    font.setPixelSize(pixelSize);
    font.setWeight(weight);
    return font;
}

void setTextColor(QWidget* widget, const QColor& color) {
    QPalette palette = widget->palette();
    palette.setColor(QPalette::WindowText, color);
    // Selectable labels draw with the text role.
    palette.setColor(QPalette::Text, color);
    palette.setColor(QPalette::ButtonText, color);
    widget->setPalette(palette);
}

QLabel* makeLabel(const QString& text, QWidget* parent, const QFont& font, const QColor& color,
                  Qt::Alignment alignment) {
    auto* label = new QLabel(parent);
    // Texts come from the updater too; markup in them must show as typed.
    label->setTextFormat(Qt::PlainText);
    label->setText(text);
    label->setFont(font);
    label->setAlignment(alignment);
    label->setWordWrap(false);
    setTextColor(label, color);
    return label;
}

// The single-line labels show a line break as a space rather than growing a second line.
QString oneLine(QString text) {
    text.replace(QLatin1String("\r\n"), QLatin1String(" "));
    text.replace(QLatin1Char('\n'), QLatin1Char(' '));
    text.replace(QLatin1Char('\r'), QLatin1Char(' '));
    return text;
}

// Qt wraps a plain-text tooltip only once it is wider than the whole screen, and rich text once
// it is wider than a quarter of it. Escaped, so that markup in an updater's message shows as
// typed; its line breaks stay breaks.
QString wrappingToolTip(const QString& text) {
    if (text.isEmpty())
        return {};
    return QStringLiteral("<p style='white-space:pre-wrap'>") + text.toHtmlEscaped() +
           QStringLiteral("</p>");
}

} // namespace

MainWindow::MainWindow(const Palette& palette, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowCloseButtonHint)
    , palette_(palette) {
    // The quit shortcut belongs to the window from the start; the menu bar that also shows the
    // action comes just before the window is first shown, after the first run was started.
    quitAction_ = new QAction(QStringLiteral("Quit Thornwake Launcher"), this);
    quitAction_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    quitAction_->setMenuRole(QAction::QuitRole);
    addAction(quitAction_);
    connect(quitAction_, &QAction::triggered, this, &MainWindow::quitRequested);

    setWindowTitle(QStringLiteral("Thornwake"));
    setFixedSize(contentWidth, contentHeight);
    QPalette background = this->palette();
    background.setColor(QPalette::Window, palette_.forest);
    setPalette(background);
    setAutoFillBackground(true);
    if (QScreen* screen = this->screen(); screen != nullptr)
        move(screen->availableGeometry().center() - rect().center());

    backdrop_ = new BackdropView(palette_, this);
    auto* content = new QVBoxLayout(this);
    content->setContentsMargins(0, 0, 0, 0);
    content->setSpacing(0);
    content->addWidget(backdrop_);

    buildControls();

    // Return presses the primary button from anywhere in the window, but never while it is
    // disabled: the busy states rely on that.
    for (const auto key : {Qt::Key_Return, Qt::Key_Enter}) {
        auto* shortcut = new QShortcut(QKeySequence(key), this);
        shortcut->setContext(Qt::WindowShortcut);
        connect(shortcut, &QShortcut::activated, this, [this] {
            if (playButton_->isEnabled())
                playButton_->click();
        });
    }

    // Children ask for a new layout when their natural size changes; the backdrop has no layout
    // of its own, so the window answers for it. The first layout is made when it is shown.
    backdrop_->installEventFilter(this);
}

MainWindow::~MainWindow() = default;

void MainWindow::installMenuBar() {
    if (menuBar_)
        return;
    // A menu bar without a parent is the application's global one where the desktop has such a
    // thing; the action is also the window's, so its shortcut works everywhere else.
    menuBar_ = std::make_unique<QMenuBar>(nullptr);
    QMenu* applicationMenu = menuBar_->addMenu(QString());
    applicationMenu->addAction(quitAction_);
}

void MainWindow::buildControls() {
    title_ = makeLabel(QStringLiteral("Thornwake"), backdrop_, systemFont(31, QFont::DemiBold),
                       palette_.parchment, Qt::AlignHCenter | Qt::AlignVCenter);
    title_->setAccessibleName(QStringLiteral("Thornwake"));

    subtitle_ =
        makeLabel(QStringLiteral("CHOOSE YOUR ADVENTURE"), backdrop_, systemFont(11, QFont::Medium),
                  palette_.gold, Qt::AlignHCenter | Qt::AlignVCenter);

    regionCaption_ = makeLabel(QStringLiteral("Region"), backdrop_, systemFont(13, QFont::Medium),
                               palette_.parchment, Qt::AlignLeading | Qt::AlignVCenter);

    regionPicker_ = new RegionPicker(palette_, backdrop_);
    regionPicker_->setAccessibleName(QStringLiteral("Region"));
    regionPicker_->setAccessibleDescription(
        QStringLiteral("Chooses the game environment and its compatible client"));
    // Only the user's choice counts as a region change; selections made in code do not.
    connect(regionPicker_, &QComboBox::activated, this, &MainWindow::regionActivated);

    status_ = makeLabel(QStringLiteral("Checking for updates\u2026"), backdrop_,
                        systemFont(16, QFont::Medium), palette_.parchment,
                        Qt::AlignHCenter | Qt::AlignVCenter);
    status_->setAccessibleName(QStringLiteral("Launcher status"));

    detail_ = new ElidedLabel(QStringLiteral("Connecting securely\u2026"), 2, backdrop_);
    detail_->setFont(systemFont(12, QFont::Normal));
    setTextColor(detail_, palette_.muted);
    detail_->setAccessibleName(QStringLiteral("Installed version"));

    progress_ = new ProgressBar(backdrop_);
    progress_->setRange(0, 100);
    progress_->setValue(0);
    progress_->setTextVisible(false);
    // The small control size: a slim bar without text, whose natural height is the cap.
    progress_->setMaximumHeight(smallProgressHeight);
    progress_->setHidden(true);
    // Shown before the window is: without a size of its own it would then be given its natural
    // one, measured in its font.
    progress_->setAttribute(Qt::WA_Resized);
    if (stockControlsWearWindowColours()) {
        QPalette fill = progress_->palette();
        fill.setColor(QPalette::Highlight, palette_.gold);
        progress_->setPalette(fill);
    }

    playButton_ = new PlayButton(QStringLiteral("Checking\u2026"), palette_, backdrop_);
    playButton_->setFont(systemFont(15, QFont::DemiBold));
    playButton_->setEnabled(false);
    playButton_->setAccessibleDescription(QStringLiteral("Working\u2026"));
    connect(playButton_, &QPushButton::clicked, this, &MainWindow::primaryActionTriggered);

    logButton_ = new TextButton(QStringLiteral("View Log"), backdrop_);
    logButton_->setFont(systemFont(11, QFont::Medium));
    setTextColor(logButton_, palette_.muted);
    logButton_->setHidden(true);
    connect(logButton_, &QPushButton::clicked, this, &MainWindow::logRequested);

    QColor footerColor = palette_.muted;
    footerColor.setAlphaF(0.7f);
    footer_ = makeLabel(QString(), backdrop_, systemFont(10, QFont::Normal), footerColor,
                        Qt::AlignHCenter | Qt::AlignVCenter);
    // Made selectable when the pointer first comes over it (eventFilter): a selectable label
    // keeps its text in a document of its own, laid out whenever it is set, which costs about
    // half a MiB of memory that a player who never selects the versions need not pay.
    footer_->setAccessibleName(QStringLiteral("Launcher and game version"));

    // Created last, so it lies above the controls it surrounds.
    focusRing_ = new FocusRing(palette_.parchment, backdrop_);
    for (QWidget* watched :
         std::initializer_list<QWidget*>{this, regionPicker_, playButton_, logButton_, footer_})
        watched->installEventFilter(this);
}

void MainWindow::setVisible(bool visible) {
    if (visible && layoutPending_) {
        layoutPending_ = false;
        placeControls();
    }
    QWidget::setVisible(visible);
}

void MainWindow::relayout() {
    // Measuring the texts is the first use of the fonts, which costs the start several
    // milliseconds: a hidden window is laid out when it is next shown, so that the first run
    // starts before.
    if (isVisible())
        placeControls();
    else
        layoutPending_ = true;
}

void MainWindow::placeControls() {
    const QSize content(contentWidth, contentHeight);
    auto natural = [](QWidget* widget) {
        widget->ensurePolished();
        return widget->sizeHint()
            .expandedTo(widget->minimumSize())
            .boundedTo(widget->maximumSize());
    };
    WindowControlSizes sizes{
        .title = natural(title_),
        .subtitle = natural(subtitle_),
        .regionCaption = natural(regionCaption_),
        .regionPicker = natural(regionPicker_),
        .status = natural(status_),
        .detail = natural(detail_),
        .progress = natural(progress_),
        .logButton = natural(logButton_),
        .footer = natural(footer_),
    };
    // The detail line may take a second line; its width is fixed, so its height follows from it.
    const WindowGeometry provisional = layoutWindow(content, sizes);
    sizes.detail.setHeight(detail_->heightForWidth(provisional.detail.width()));
    const WindowGeometry geometry = layoutWindow(content, sizes);

    title_->setGeometry(geometry.title);
    subtitle_->setGeometry(geometry.subtitle);
    regionCaption_->setGeometry(geometry.regionCaption);
    regionPicker_->setGeometry(geometry.regionPicker);
    status_->setGeometry(geometry.status);
    detail_->setGeometry(geometry.detail);
    progress_->setGeometry(geometry.progress);
    playButton_->setGeometry(geometry.playButton);
    logButton_->setGeometry(geometry.logButton);
    footer_->setGeometry(geometry.footer);
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
    if (watched == backdrop_ && event->type() == QEvent::LayoutRequest)
        relayout();
    if (watched == footer_ && event->type() == QEvent::Enter)
        footer_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    if (watched->isWidgetType())
        trackFocus(static_cast<QWidget*>(watched), event);
    return QWidget::eventFilter(watched, event);
}

void MainWindow::trackFocus(QWidget* control, QEvent* event) {
    switch (event->type()) {
    case QEvent::KeyPress: {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Tab || key == Qt::Key_Backtab)
            keyboardNavigation_ = true;
        return;
    }
    case QEvent::MouseButtonPress:
        keyboardNavigation_ = false;
        return;
    case QEvent::FocusIn: {
        // Tab, Backtab, or the window becoming active again after them; never the first focus
        // or a click. The flag also keeps out a focus that moves on because the focused button
        // was disabled by a click, which Qt reports as a Tab too.
        const Qt::FocusReason reason = static_cast<QFocusEvent*>(event)->reason();
        if (!keyboardNavigation_ || reason == Qt::MouseFocusReason)
            return;
        if (control == playButton_)
            focusRing_->surround(control, PlayButton::cornerRadius);
        else if (control == logButton_)
            focusRing_->surround(control, logFocusRadius);
        else if (control == regionPicker_ && stockControlsWearWindowColours())
            focusRing_->surround(control, RegionPicker::cornerRadius);
        return;
    }
    case QEvent::FocusOut:
        if (control == focusRing_->surrounded())
            focusRing_->surround(nullptr, 0);
        return;
    default:
        return;
    }
}

void MainWindow::setCloseDecision(std::function<bool()> decide) {
    closeDecision_ = std::move(decide);
}

void MainWindow::closeEvent(QCloseEvent* event) {
    if (closeDecision_ && !closeDecision_()) {
        event->ignore();
        return;
    }
    event->accept();
    emit closed();
}

void MainWindow::showEvent(QShowEvent* event) {
    // The native window exists only now, and may have been made anew since the last show.
    makeTitleBarTransparent(this, palette_.forest);
    QWidget::showEvent(event);
}

void MainWindow::setStatusText(const QString& text) {
    status_->setText(oneLine(text));
}

void MainWindow::setDetailText(const QString& text) {
    detail_->setText(text);
    relayout();
}

void MainWindow::setDetailToolTip(const std::optional<QString>& toolTip) {
    detail_->setToolTip(wrappingToolTip(toolTip.value_or(QString())));
}

void MainWindow::setFooterText(const QString& text) {
    footer_->setText(oneLine(text));
    relayout();
}

void MainWindow::setFooterToolTip(const QString& toolTip) {
    footer_->setToolTip(toolTip);
}

void MainWindow::setProgressHidden(bool hidden) {
    progress_->setHidden(hidden);
}

void MainWindow::setProgressIndeterminate(bool indeterminate) {
    progressIndeterminate_ = indeterminate;
    applyProgress();
}

void MainWindow::setProgressAnimating(bool animating) {
    progressAnimating_ = animating;
    applyProgress();
}

void MainWindow::setProgressValue(double value) {
    progressValue_ = value;
    applyProgress();
}

void MainWindow::applyProgress() {
    // A stopped indeterminate bar shows the value instead, as a still bar would.
    progress_->setBusy(progressIndeterminate_ && progressAnimating_);
    const double value =
        std::isfinite(progressValue_) ? std::clamp(progressValue_, 0.0, 100.0) : 0.0;
    progress_->setValue(int(std::lround(value)));
}

void MainWindow::setButtonTitle(const QString& title) {
    playButton_->setText(title);
}

void MainWindow::setButtonEnabled(bool enabled) {
    playButton_->setEnabled(enabled);
}

void MainWindow::setButtonHelp(const QString& help) {
    playButton_->setAccessibleDescription(help);
}

void MainWindow::redrawButton() {
    playButton_->update();
}

void MainWindow::setLogButtonHidden(bool hidden) {
    logButton_->setHidden(hidden);
}

void MainWindow::addRegionItems(const QStringList& titles) {
    regionPicker_->addItems(titles);
}

void MainWindow::selectRegionIndex(int index) {
    regionPicker_->setCurrentIndex(index);
}

int MainWindow::selectedRegionIndex() const {
    return regionPicker_->currentIndex();
}

void MainWindow::setRegionPickerEnabled(bool enabled) {
    regionPicker_->setEnabled(enabled);
}

void MainWindow::showWindow() {
    if (!menuBarDecided_) {
        menuBarDecided_ = true;
        if (desktopShowsGlobalMenu())
            installMenuBar();
    }
    show();
    raise();
    activateWindow();
}

void MainWindow::bringWindowToFront(const QString& activationToken) {
    presentActivationToken(*this, activationToken);
    setWindowState(windowState() & ~Qt::WindowMinimized);
    showWindow();
}

void MainWindow::hideWindow() {
    hide();
}

bool MainWindow::isWindowVisible() const {
    return isVisible();
}

void MainWindow::requestAttention() {
    QApplication::alert(this, 0);
}

void MainWindow::openFile(const QString& path) {
    QDesktopServices::openUrl(QUrl::fromLocalFile(path));
}

void MainWindow::showLog(const LogFiles& files) {
    if (logWindow_ == nullptr) {
        logWindow_ = new LogWindow(this);
        // Over the launcher's window, where the player is looking, and within the screen.
        QRect place = logWindow_->rect();
        place.moveCenter(frameGeometry().center());
        if (QScreen* screen = this->screen(); screen != nullptr) {
            const QRect available = screen->availableGeometry();
            place.moveLeft(
                std::clamp(place.left(), available.left(),
                           std::max(available.left(), available.right() - place.width())));
            place.moveTop(
                std::clamp(place.top(), available.top(),
                           std::max(available.top(), available.bottom() - place.height())));
        }
        logWindow_->move(place.topLeft());
    }
    logWindow_->showLogs(files);
}
