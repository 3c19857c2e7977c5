#include <QApplication>

#include <gtest/gtest.h>

int main(int argc, char* argv[]) {
    // Widgets need the application object for fonts, styles and events; it lives for all tests.
    QApplication application(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
