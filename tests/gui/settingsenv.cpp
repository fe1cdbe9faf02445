#include "settingsenv.h"

#include <QSettings>

#include <cstdlib>
#include <memory>

namespace AppTests {

namespace {

class ConfigHomeEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        dir_ = std::make_unique<TestSupport::TempDir>();
        home_ = dir_->path();
        setenv("XDG_CONFIG_HOME", home_.c_str(), 1);
    }
    void TearDown() override { dir_.reset(); }

    std::string home_;

private:
    std::unique_ptr<TestSupport::TempDir> dir_;
};

ConfigHomeEnvironment* const environment = static_cast<ConfigHomeEnvironment*>(
    ::testing::AddGlobalTestEnvironment(new ConfigHomeEnvironment));

}  // namespace

const std::string& configHome() {
    return environment->home_;
}

void SettingsTest::SetUp() {
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope,
                       QString::fromStdString(configDir.path()));
}

void SettingsTest::TearDown() {
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope,
                       QString::fromStdString(configHome()));
}

std::string SettingsTest::settingsFile() const {
    return configDir.file("Brenlow/TalvekConfig.conf");
}

}  // namespace AppTests
