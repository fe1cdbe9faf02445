// links: talvek_maintenance talvek_testsupport Qt6::Test
// The key maintenance dialog on a server base of 200,000 channels: opening it
// (load, list, tree) must take under 2 s, one keystroke in its search field
// under 100 ms; the logic alone and the real Qt window (offscreen).

#include <QApplication>
#include <QItemSelectionModel>
#include <QLineEdit>
#include <QTest>
#include <QTreeWidget>

#include <benchmark/benchmark.h>

#include <functional>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include <unistd.h>

#include "gui/settingsstore.h"
#include "checks/maintenancechecks.h"
#include "maintenance/utilsdlg.h"
#include "maintenance/qtutilsdlg.h"
#include "support/largebase.h"
#include "support/memorysettingsstore.h"

namespace {

using namespace Talvek;

constexpr int kChannels = 200000;

// A key base like a busy server's: one local name, 200,000 users, every
// channel complete for both uses (its keys repeated from a few real ones).
class LargeBase {
public:
    LargeBase() {
        char pattern[] = "/tmp/talvek-bench-XXXXXX";
        if (!mkdtemp(pattern)) std::abort();
        dir_ = pattern;
        path_ = dir_ + "/server.key_base";
        // 512-bit keys: 200,000 channels of 1024-bit ones would pass the size
        // any key file may have (256 MiB).
        TestSupport::writeLargeServerBase(path_, kChannels, 512);
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
    void enableCommand(UtilsCommand, bool) override {}
    void setTreeRedraw(bool) override {}
    void deleteAllItems() override { items = 0; }
    TreeItem insertItem(const std::string& text, int, TreeItem) override {
        bytes += text.size();
        return static_cast<TreeItem>(++items);
    }
    void setChildrenOnDemand(TreeItem) override {}
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
    std::uintptr_t items = 0;
    size_t bytes = 0;

private:
    class NoFiles : public FileDialogRunner {
    public:
        bool run(const FileDialogRequest&, std::string&) override { return false; }
    } files;
};

// What the dialog reads away from the window: the file and its listing.
void BM_LoadAndListBase(benchmark::State& state) {
    const std::string& path = largeBase().path();
    for (auto _ : state) {
        KeyFileListing listing;
        if (!listKeyFile(path, listing) || listing.channels.size() != kChannels) std::abort();
        benchmark::DoNotOptimize(listing.channels.data());
    }
    state.SetItemsProcessed(state.iterations() * kChannels);
}
BENCHMARK(BM_LoadAndListBase)->Unit(benchmark::kMillisecond)->UseRealTime();

// The listing and the tree the logic builds from it, without widgets.
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
BENCHMARK(BM_OpenMaintenanceLogic)->Unit(benchmark::kMillisecond)->UseRealTime();

// Keystrokes in the search field as a user types and erases them: every
// channel's names compared, the items whose visibility changes told to the
// view. The first character hides the most.
// Each step is one key: a character typed, or Escape clearing the field.
const char* const kTyped[] = {"п", "по", "пол", "", "7", "75", "", "u", "us", ""};

void BM_FilterKeystroke(benchmark::State& state) {
    const std::string& path = largeBase().path();
    TestSupport::MemorySettingsStore settings;
    CountingView view;
    UtilsDlg dlg(path, view, settings);
    if (!dlg.open()) std::abort();
    size_t next = 0;
    for (auto _ : state) {
        dlg.onFilterChanged(kTyped[next++ % std::size(kTyped)]);
        benchmark::DoNotOptimize(dlg.shownCount());
    }
    state.SetItemsProcessed(state.iterations() * kChannels);
}
BENCHMARK(BM_FilterKeystroke)->Unit(benchmark::kMillisecond)->UseRealTime();

// Until the window has handled everything the change posted and painted.
void settle(QtUtilsDlg& dlg) {
    QApplication::processEvents();
    dlg.tree()->viewport()->repaint();
}

// What the user waits for: the real dialog, loaded, its tree built, shown
// and painted once.
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
        dlg->show();
        settle(*dlg);
    }
    state.SetItemsProcessed(state.iterations() * kChannels);
}
BENCHMARK(BM_OpenMaintenanceDialog)->Unit(benchmark::kMillisecond)->UseRealTime();

// One key typed into the real search field, found as assistive tools find
// it, until the tree is painted again. The first argument picks the step of
// kTyped, so each keystroke has its own figure (the first one hides the most);
// a step back to an empty field is Escape. The second is how many channels are
// selected (a Shift+click stretch from the top) before typing, with every
// thousandth channel opened: what the search must give back.
void BM_FilterKeystrokeInDialog(benchmark::State& state) {
    const std::string& path = largeBase().path();
    TestSupport::MemorySettingsStore settings;
    QtUtilsDlg dlg(path, settings);
    if (!dlg.load()) std::abort();
    dlg.show();
    settle(dlg);
    if (const int selected = static_cast<int>(state.range(1)); selected > 0) {
        QTreeWidget* tree = dlg.tree();
        QTreeWidgetItem* root = tree->topLevelItem(0);
        const QModelIndex top = tree->indexFromItem(root->child(0));
        const QModelIndex bottom = tree->indexFromItem(root->child(selected - 1));
        tree->selectionModel()->select(QItemSelection(top, bottom),
                                       QItemSelectionModel::ClearAndSelect |
                                           QItemSelectionModel::Rows);
        for (int i = 0; i < kChannels; i += 1000) root->child(i)->setExpanded(true);
        settle(dlg);
        if (dlg.logic().selectedChannels().size() != static_cast<size_t>(selected)) std::abort();
    }
    QLineEdit* field = nullptr;
    for (QLineEdit* edit : dlg.findChildren<QLineEdit*>())
        if (edit->accessibleName() == QStringLiteral("Поиск каналов")) field = edit;
    if (!field) std::abort();
    field->setFocus();
    const size_t step = static_cast<size_t>(state.range(0));
    const QString before = QString::fromUtf8(step == 0 ? "" : kTyped[step - 1]);
    const QString after = QString::fromUtf8(kTyped[step]);
    for (auto _ : state) {
        state.PauseTiming();
        field->setText(before);
        settle(dlg);
        state.ResumeTiming();
        if (after.isEmpty()) {
            QTest::keyClick(field, Qt::Key_Escape);
        } else {
            const QChar typed = after.back();
            QTest::sendKeyEvent(QTest::Click, field, Qt::Key(typed.toUpper().unicode()),
                                QString(typed), Qt::NoModifier);
        }
        settle(dlg);
        if (field->text() != after) std::abort();
    }
    state.SetLabel(before.toStdString() + " -> " + after.toStdString());
    state.SetItemsProcessed(state.iterations() * kChannels);
}
BENCHMARK(BM_FilterKeystrokeInDialog)
    ->ArgsProduct({benchmark::CreateDenseRange(0, std::size(kTyped) - 1, 1), {0, 2000}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

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
