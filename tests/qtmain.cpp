// Entry point of the test programs of the Qt layers: one QApplication for the
// whole run, created before any test touches a widget.
#include <QApplication>

#include <gtest/gtest.h>

#include "testenv.h"

int main(int argc, char** argv) {
    setUpTestEnvironment();
    QApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
