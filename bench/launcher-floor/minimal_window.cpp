// The toolkit's floor for start-up and memory: a Qt widgets program that shows one 540 × 365
// window and does nothing else. It appends to the file named by its argument the moment its event
// loop first turns with the window shown ("loop") and the moment the window is first painted
// ("paint"), in microseconds since the epoch, then runs until it is stopped.
// With "busy" as a second argument the window holds one busy (indeterminate) progress bar, the
// floor for a window that shows that it is waiting; with "label", one line of text, the floor
// for a window that shows any text at all (fonts, shaping).
#include <QApplication>
#include <QLabel>
#include <QProgressBar>
#include <QTimer>
#include <QWidget>

#include <cstring>

#include <chrono>
#include <cstdio>

namespace {

const char* reportPath = nullptr;

void report(const char* event) {
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    if (std::FILE* file = std::fopen(reportPath, "a")) {
        std::fprintf(file, "%s %lld\n", event,
                     static_cast<long long>(
                         std::chrono::duration_cast<std::chrono::microseconds>(now).count()));
        std::fclose(file);
    }
}

class Window : public QWidget {
protected:
    void paintEvent(QPaintEvent* event) override {
        QWidget::paintEvent(event);
        if (!painted) {
            painted = true;
            report("paint");
        }
    }

private:
    bool painted = false;
};

} // namespace

int main(int argc, char* argv[]) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: minimal_window <report file> [busy|label]\n");
        return 2;
    }
    reportPath = argv[1];
    QApplication application(argc, argv);
    Window window;
    window.resize(540, 365);
    if (argc > 2 && std::strcmp(argv[2], "busy") == 0) {
        auto* bar = new QProgressBar(&window);
        bar->setGeometry(40, 280, 460, 6);
        bar->setTextVisible(false);
        bar->setRange(0, 0);
    }
    if (argc > 2 && std::strcmp(argv[2], "label") == 0) {
        auto* label = new QLabel(QStringLiteral("Thornwake"), &window);
        label->setGeometry(40, 40, 460, 40);
    }
    window.show();
    QTimer::singleShot(0, [] { report("loop"); });
    return QApplication::exec();
}
