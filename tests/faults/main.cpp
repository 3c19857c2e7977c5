#include <QCoreApplication>
#include <gtest/gtest.h>

#include <csignal>

int main(int argc, char** argv) {
    // As the launcher's own entry does: a write beyond the file size limit is an error, not the
    // end of the process.
    std::signal(SIGXFSZ, SIG_IGN);
    QCoreApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
