#include <QCoreApplication>

#include <gtest/gtest.h>

// Every test binary has one application object, so sockets and timers work.
int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
