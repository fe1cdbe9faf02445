// links: talvek_maintenance
// Opening the key maintenance dialog on a server base of 10,000 channels:
// loading the base, listing it and building the whole tree must stay well
// under a second.

#include <QApplication>
#include <QTreeWidget>

#include <benchmark/benchmark.h>

#include <functional>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include <unistd.h>

#include "gui/settingsstore.h"
#include "keystore/keybase.h"
#include "keystore/rsakeyrecord.h"
#include "maintenance/utilsdlg.h"
#include "maintenance/qtutilsdlg.h"
#include "support/memorysettingsstore.h"

namespace {

using namespace Talvek;

constexpr int kChannels = 10000;

// A key base like a busy server's: one local name, many users, every
// channel complete for both uses. Four keys are generated and cloned into
// every channel, since generating 40,000 keys would take far longer than
// what is measured.
class LargeBase {
public:
    LargeBase() {
        char pattern[] = "/tmp/talvek-bench-XXXXXX";
        if (!mkdtemp(pattern)) std::abort();
        dir_ = pattern;
        path_ = dir_ + "/server.key_base";

        RsaKeyRecord keys[4];
        for (auto& k : keys)
            if (!k.generate("server", 1024)) std::abort();
        std::unique_ptr<RsaKeyRecord> cryptPeer, signPeer;
        keys[2].extractPublic(cryptPeer);
        keys[3].extractPublic(signPeer);

        KeyBase base;
        for (int i = 0; i < kChannels; ++i) {
            auto c = std::make_unique<SecureChannel>();
            char remote[32];
            std::snprintf(remote, sizeof remote, "user%05d", i);
            c->localName = "server";
            c->remoteName = remote;
            c->useCrypt = c->useSign = 1;
            c->hasCryptPrivate = c->hasCryptPublic = c->hasSignPrivate = c->hasSignPublic = 1;
            c->cryptSize = c->signSize = 1024;
            c->cryptPrivateKey = keys[0].clone();
            c->signPrivateKey = keys[1].clone();
            c->cryptPublicKey = cryptPeer->clone();
            c->signPublicKey = signPeer->clone();
            if (!base.addChannel(std::move(c))) std::abort();
        }
        if (!base.saveBase(path_)) std::abort();
    }
    ~LargeBase() {
        std::remove(path_.c_str());
        rmdir(dir_.c_str());
    }
    const std::string& path() const { return path_; }

private:
    std::string dir_;
    std::string path_;
};

const LargeBase& largeBase() {
    static LargeBase base;
    return base;
}

// The logic alone, against a view that only hands out handles.
class CountingView : public UtilsDlgView {
public:
    void setKindText(const std::string&) override {}
    void enableButton(int, bool) override {}
    void setTreeRedraw(bool) override {}
    void deleteAllItems() override { items = 0; }
    TreeItem insertItem(const std::string& text, int, TreeItem) override {
        bytes += text.size();
        return ++items;
    }
    std::string itemText(TreeItem) override { return {}; }
    TreeItem itemParent(TreeItem) override { return NoTreeItem; }
    void expandItem(TreeItem) override {}
    void setItemHidden(TreeItem, bool) override {}
    void setItemToolTip(TreeItem, const std::string&) override {}
    void attachImageList() override {}
    bool showMessageBox(const MessageBoxRequest&) override { std::abort(); }
    bool runInBackground(const std::function<void()>& work,
                         const std::function<void()>&) override {
        work();
        return true;
    }
    FileDialogRunner& fileDialogs() override { return files; }
    void beginBusy() override {}
    void endBusy() override {}
    bool openWithDesktop(const std::string&) override { return true; }
    void endDialog(int) override {}
    TreeItem items = 0;
    size_t bytes = 0;

private:
    class NoFiles : public FileDialogRunner {
    public:
        bool run(const FileDialogRequest&, std::string&) override { return false; }
    } files;
};

void BM_LoadAndListBase(benchmark::State& state) {
    const std::string& path = largeBase().path();
    for (auto _ : state) {
        KeyBase base;
        KeyBaseSummary header;
        std::vector<ChannelSummary> channels;
        if (!base.loadBase(path) || !base.listChannels(header, channels)) std::abort();
        benchmark::DoNotOptimize(channels.data());
    }
    state.SetItemsProcessed(state.iterations() * kChannels);
}
BENCHMARK(BM_LoadAndListBase)->Unit(benchmark::kMillisecond);

void BM_OpenMaintenanceLogic(benchmark::State& state) {
    const std::string& path = largeBase().path();
    TestSupport::MemorySettingsStore settings;
    for (auto _ : state) {
        CountingView view;
        UtilsDlg dlg(path, view, settings);
        if (!dlg.open()) std::abort();
        benchmark::DoNotOptimize(view.items);
    }
    state.SetItemsProcessed(state.iterations() * kChannels);
}
BENCHMARK(BM_OpenMaintenanceLogic)->Unit(benchmark::kMillisecond);

// One keystroke in the search field: every channel's names compared, the
// items whose visibility changes told to the view.
void BM_FilterKeystroke(benchmark::State& state) {
    const std::string& path = largeBase().path();
    TestSupport::MemorySettingsStore settings;
    CountingView view;
    UtilsDlg dlg(path, view, settings);
    if (!dlg.open()) std::abort();
    const char* const texts[] = {"user0", "USER01", "user012", "user0123", "ser", ""};
    size_t next = 0;
    for (auto _ : state) {
        dlg.onFilterChanged(texts[next++ % std::size(texts)]);
        benchmark::DoNotOptimize(dlg.shownCount());
    }
    state.SetItemsProcessed(state.iterations() * kChannels);
}
BENCHMARK(BM_FilterKeystroke)->Unit(benchmark::kMillisecond);

// What the user waits for: the real dialog, loaded and its tree built.
void BM_OpenMaintenanceDialog(benchmark::State& state) {
    const std::string& path = largeBase().path();
    TestSupport::MemorySettingsStore settings;
    std::unique_ptr<QtUtilsDlg> dlg;
    for (auto _ : state) {
        state.PauseTiming();  // tearing the last window down is not part of opening one
        dlg.reset();
        state.ResumeTiming();
        dlg = std::make_unique<QtUtilsDlg>(path, settings);
        if (!dlg->load()) std::abort();
        if (dlg->tree()->topLevelItem(0)->childCount() != kChannels) std::abort();
        // Shown and painted once: the column width is measured over the rows.
        dlg->show();
        QApplication::processEvents();
    }
    state.SetItemsProcessed(state.iterations() * kChannels);
}
BENCHMARK(BM_OpenMaintenanceDialog)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    largeBase();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
