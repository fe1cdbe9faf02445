// Entry point of the test programs of the Qt layers: one QApplication for the
// whole run, created before any test touches a widget.
#include <QApplication>
#include <QThreadPool>

#include <gtest/gtest.h>

#include "testenv.h"

int main(int argc, char** argv) {
    setUpTestEnvironment();
    QApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    const int result = RUN_ALL_TESTS();
    // Background work runs on Qt's pool: its threads are ended here, so that
    // what they hold for themselves (OpenSSL's per-thread state) is released
    // before the leak check looks, not while it looks.
    QThreadPool::globalInstance()->waitForDone();
    return result;
}
