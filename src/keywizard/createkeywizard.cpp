#include "keywizard/createkeywizard.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QVBoxLayout>

#include "gui/pictures.h"

namespace Talvek {

namespace {

QLabel* wrappingLabel(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setWordWrap(true);
    return label;
}

// Wide enough for the longest file label on one line.
constexpr int kPageWidth = 640;

QVBoxLayout* pageColumns(WizardPageWidget* page, const char* name) {
    return pictureColumns(page, name, keyWizardPicture(), kPageWidth);
}

// A file row: label above, edit and "..." button below.
void fileRow(WizardPageWidget* page, QVBoxLayout* column, const QString& labelText, int labelId,
             int editId, int buttonId) {
    auto* label = wrappingLabel(labelText, page);
    auto* edit = new QLineEdit(page);
    auto* button = new QPushButton(QStringLiteral("..."), page);
    button->setFixedWidth(button->fontMetrics().horizontalAdvance(QStringLiteral("...")) + 24);
    button->setAutoDefault(false);
    label->setBuddy(edit);
    page->addControl(labelId, label);
    page->addControl(editId, edit);
    page->addControl(buttonId, button);
    // "..." says nothing to a screen reader: the button is announced by what
    // it chooses, the row's label, which changes with the mode.
    page->nameAfterLabel(buttonId, labelId);

    auto* row = new QHBoxLayout;
    row->setSpacing(4);
    row->addWidget(edit, 1);
    row->addWidget(button);
    column->addSpacing(4);
    column->addWidget(label);
    column->addLayout(row);
}

}  // namespace

CreateKeyWizard::CreateKeyWizard(SettingsStore& settings, FileDialogRunner& files, QWidget* parent)
    : QtWizardView(files, parent),
      controller_(std::make_unique<KeyWizardController>(*this, settings)) {
    setObjectName(QStringLiteral("CreateKeyWizard"));
    setWindowTitle(QString::fromUtf8(KeyWizardTexts::Title));
    buildTypePage();
    buildFilesPage();
    buildNamesPage();
    buildParamsPage();
    buildSummaryPage();
    setStartId(KeyTypePage);
    setEvents(controller_.get());
}

CreateKeyWizard::~CreateKeyWizard() {
    setEvents(nullptr);
}

void CreateKeyWizard::buildTypePage() {
    auto* page = new WizardPageWidget;
    QVBoxLayout* column = pageColumns(page, "KeyTypePage");
    column->addWidget(pageHeading(QStringLiteral("Выберите тип и способ создания ключа:"), page));

    auto* adminBox = new QGroupBox(QStringLiteral("Для администратора"), page);
    auto* adminLayout = new QVBoxLayout(adminBox);
    auto* newServerKey = new WrappingRadioButton(
        QStringLiteral("Создать открытую часть серверного ключа для нового пользователя. Или "
                       "создать новую базу ключей."),
        adminBox);
    auto* importPart = new WrappingRadioButton(
        QStringLiteral("Добавить в серверную базу ключей открытую часть пользовательского ключа."),
        adminBox);
    adminLayout->addWidget(newServerKey);
    adminLayout->addWidget(importPart);

    auto* userBox = new QGroupBox(QStringLiteral("Для пользователя"), page);
    auto* userLayout = new QVBoxLayout(userBox);
    auto* userKey = new WrappingRadioButton(
        QStringLiteral(
            "Создать полный пользовательский ключ и открытую часть пользовательского ключа."),
        userBox);
    userLayout->addWidget(userKey);

    // The options sit in two frames but form one group.
    auto* group = new QButtonGroup(page);
    group->setExclusive(true);
    group->addButton(newServerKey);
    group->addButton(importPart);
    group->addButton(userKey);

    auto* hint = wrappingLabel(QStringLiteral("Подсказка"), page);
    hint->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    hint->setMinimumHeight(hint->fontMetrics().lineSpacing() * 4);

    page->addControl(KeyTypeIds::NewUserServerKey, newServerKey);
    page->addControl(KeyTypeIds::ImportUserPart, importPart);
    page->addControl(KeyTypeIds::CreateUserKey, userKey);
    page->addControl(KeyTypeIds::Hint, hint);

    column->addWidget(adminBox);
    column->addWidget(userBox);
    column->addWidget(hint);
    column->addStretch(1);
    addWizardPage(page, QString::fromStdString(KeyWizardTexts::caption(KeyTypePage)));
}

void CreateKeyWizard::buildFilesPage() {
    using namespace KeyFilesIds;
    auto* page = new WizardPageWidget;
    QVBoxLayout* column = pageColumns(page, "KeyFilesPage");
    column->addWidget(pageHeading(QStringLiteral("Имена файлов баз ключей"), page));
    fileRow(page, column, QStringLiteral("Имя базы ключей"), BaseLabel, BaseEdit, BaseButton);
    fileRow(page, column, QStringLiteral("Имя файла с открытой частью ключа для импорта"),
            ImportLabel, ImportEdit, ImportButton);
    fileRow(page, column, QStringLiteral("Имя файла с открытой частью ключа для эскпорта"),
            ExportLabel, ExportEdit, ExportButton);
    column->addStretch(1);
    addWizardPage(page, QString::fromStdString(KeyWizardTexts::caption(KeyFilesPage)));
}

void CreateKeyWizard::buildNamesPage() {
    using namespace KeyNamesIds;
    auto* page = new WizardPageWidget;
    QVBoxLayout* column = pageColumns(page, "KeyNamesPage");
    column->addWidget(pageHeading(QStringLiteral("Имена ключей"), page));

    auto* form = new QFormLayout;
    form->setRowWrapPolicy(QFormLayout::WrapLongRows);
    form->setFieldGrowthPolicy(QFormLayout::AllNonFixedFieldsGrow);
    auto* serverLabel = new QLabel(QStringLiteral("Ключевое имя сервера"), page);
    auto* serverEdit = new QLineEdit(page);
    serverLabel->setBuddy(serverEdit);
    auto* userLabel = new QLabel(QStringLiteral("Ключевое имя пользователя"), page);
    auto* userEdit = new QLineEdit(page);
    userLabel->setBuddy(userEdit);
    form->addRow(serverLabel, serverEdit);
    form->addRow(userLabel, userEdit);
    page->addControl(ServerName, serverEdit);
    page->addControl(UserName, userEdit);

    column->addSpacing(4);
    column->addLayout(form);
    column->addStretch(1);
    addWizardPage(page, QString::fromStdString(KeyWizardTexts::caption(KeyNamesPage)));
}

void CreateKeyWizard::buildParamsPage() {
    using namespace KeyParamsIds;
    auto* page = new WizardPageWidget;
    QVBoxLayout* column = pageColumns(page, "KeyParamsPage");
    column->addWidget(pageHeading(QStringLiteral("Параметры создания ключа"), page));

    auto* java = new QCheckBox(QString::fromUtf8(KeyWizardTexts::JavaClientTemplate), page);
    auto* useCrypt = new QCheckBox(QStringLiteral("Использовать кодирование"), page);
    auto* cryptLabel = new QLabel(QStringLiteral("Размер ключа кодирования"), page);
    auto* cryptSize = new QComboBox(page);
    auto* useSign = new QCheckBox(QStringLiteral("Использовать подпись"), page);
    auto* signLabel = new QLabel(QStringLiteral("Размер ключа подписи"), page);
    auto* signSize = new QComboBox(page);
    cryptLabel->setBuddy(cryptSize);
    signLabel->setBuddy(signSize);
    for (QComboBox* list : {cryptSize, signSize}) {
        list->setMinimumContentsLength(6);
        list->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    }

    page->addControl(JavaClient, java);
    page->addControl(UseCrypt, useCrypt);
    page->addControl(CryptSizeLabel, cryptLabel);
    page->addControl(CryptSize, cryptSize);
    page->addControl(UseSign, useSign);
    page->addControl(SignSizeLabel, signLabel);
    page->addControl(SignSize, signSize);

    // Each size row sits under its box, indented, and disappears with it; the
    // two lists line up in one column.
    auto* grid = new QGridLayout;
    grid->setContentsMargins(0, 0, 0, 0);
    grid->setColumnMinimumWidth(0, 18);
    grid->addWidget(java, 0, 0, 1, 4);
    grid->addWidget(useCrypt, 1, 0, 1, 4);
    grid->addWidget(cryptLabel, 2, 1);
    grid->addWidget(cryptSize, 2, 2);
    grid->addWidget(useSign, 3, 0, 1, 4);
    grid->addWidget(signLabel, 4, 1);
    grid->addWidget(signSize, 4, 2);
    grid->setColumnStretch(3, 1);
    column->addSpacing(4);
    column->addLayout(grid);
    column->addStretch(1);
    addWizardPage(page, QString::fromStdString(KeyWizardTexts::caption(KeyParamsPage)));
}

void CreateKeyWizard::buildSummaryPage() {
    auto* page = new WizardPageWidget;
    QVBoxLayout* column = pageColumns(page, "KeySummaryPage");
    column->addWidget(
        pageHeading(QStringLiteral("Провести генерацию ключей со следующими параметрами:"), page));
    // The text keeps its lines as composed (a path is never broken inside);
    // a path longer than the frame scrolls instead of being cut.
    auto* frame = new QScrollArea(page);
    frame->setObjectName(QStringLiteral("summaryFrame"));
    frame->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    frame->setWidgetResizable(true);
    frame->setFocusPolicy(Qt::NoFocus);
    auto* summary = new QLabel(QStringLiteral("Static"));
    summary->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    summary->setTextFormat(Qt::PlainText);
    summary->setWordWrap(false);
    summary->setMargin(4);
    summary->setAutoFillBackground(false);
    // Selectable for copying, but it takes no keyboard focus: the page opens
    // with Finish focused, as the default button.
    summary->setTextInteractionFlags(Qt::TextSelectableByMouse);
    summary->setFocusPolicy(Qt::NoFocus);
    // Its name stays its text, which is what assistive tools read out.
    summary->setAccessibleDescription(QStringLiteral("Параметры генерации ключей"));
    frame->setWidget(summary);
    frame->viewport()->setAutoFillBackground(false);
    page->addControl(KeySummaryIds::Summary, summary);
    column->addWidget(frame, 1);
    // While the keys are generated: no measure of how far it is, only that
    // it goes on; "Отмена" stops it.
    auto* progressLabel = new QLabel(page);
    auto* progress = new QProgressBar(page);
    progress->setRange(0, 0);
    progress->setTextVisible(false);
    progressLabel->setBuddy(progress);
    page->addControl(KeySummaryIds::ProgressLabel, progressLabel);
    page->addControl(KeySummaryIds::Progress, progress);
    page->nameAfterLabel(KeySummaryIds::Progress, KeySummaryIds::ProgressLabel);
    column->addWidget(progressLabel);
    column->addWidget(progress);
    addWizardPage(page, QString::fromStdString(KeyWizardTexts::caption(KeySummaryPage)));
}

}  // namespace Talvek
