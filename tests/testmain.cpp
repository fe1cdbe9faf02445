// Entry point of the test programs of the layers without Qt.
#include <gtest/gtest.h>

#include "testenv.h"

int main(int argc, char** argv) {
    setUpTestEnvironment();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
