#pragma once
// Every test of this program keeps its settings in temporary folders: the
// process's XDG_CONFIG_HOME points at one before anything opens the store,
// and SettingsTest gives each test a fresh, empty store of its own.

#include <gtest/gtest.h>

#include <string>

#include "support/tempdir.h"

namespace AppTests {

// The XDG_CONFIG_HOME of this test run.
const std::string& configHome();

class SettingsTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    // Where the store's file lies for this test.
    std::string settingsFile() const;

    TestSupport::TempDir configDir;
};

}  // namespace AppTests
