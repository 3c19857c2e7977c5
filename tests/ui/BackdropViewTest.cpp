#include "ui/BackdropView.h"
#include "ui/Palette.h"

#include <QApplication>
#include <QMouseEvent>
#include <gtest/gtest.h>

TEST(BackdropView, movesTheWindowOnlyOnceTheLeftButtonIsDraggedTheDragDistance) {
    struct CountingBackdrop : BackdropView {
        using BackdropView::BackdropView;
        int moves = 0;
        void startWindowMove() override { ++moves; }
    } view(Palette::standard());
    auto send = [&](QEvent::Type type, QPointF at, Qt::MouseButtons held) {
        QMouseEvent event(type, at, view.mapToGlobal(at),
                          type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton, held,
                          Qt::NoModifier);
        QApplication::sendEvent(&view, &event);
    };
    const int distance = QApplication::startDragDistance();
    const QPointF start(100, 100);
    send(QEvent::MouseButtonPress, start, Qt::LeftButton);
    send(QEvent::MouseButtonRelease, start, Qt::NoButton);
    send(QEvent::MouseMove, start + QPointF(distance, 0), Qt::NoButton);
    send(QEvent::MouseButtonPress, start, Qt::LeftButton);
    send(QEvent::MouseMove, start + QPointF(distance - 1, 0), Qt::LeftButton);
    EXPECT_EQ(view.moves, 0) << "a click, or a shaky one";
    send(QEvent::MouseMove, start + QPointF(distance, 0), Qt::LeftButton);
    send(QEvent::MouseMove, start + QPointF(2 * distance, 0), Qt::LeftButton);
    EXPECT_EQ(view.moves, 1);
}
