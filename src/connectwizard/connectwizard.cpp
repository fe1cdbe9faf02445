#include "connectwizard/connectwizard.h"

#include <QButtonGroup>
#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QVBoxLayout>

#include "gui/pictures.h"
#include "gui/qtfiledialog.h"

namespace Talvek {

namespace {

QString qs(const char* utf8) {
    return QString::fromUtf8(utf8);
}

QString qs(const std::string& utf8) {
    return QString::fromStdString(utf8);
}

// The page's frame: the picture in a sunken frame on the left, the controls'
// column on the right (returned), headed by the page's heading.
QVBoxLayout* pageColumns(WizardPageWidget* page, const char* name, int pageIndex) {
    QVBoxLayout* column = pictureColumns(page, name, connectWizardPicture(), 600);
    column->addWidget(pageHeading(qs(ConnectWizardTexts::heading(pageIndex)), page));
    column->addSpacing(6);
    return column;
}

// A label above its field; the label names the field for the keyboard
// (its buddy) and for assistive tools.
QLabel* fieldLabel(const char* text, const char* name, QWidget* field, QWidget* page) {
    auto* label = new QLabel(qs(text), page);
    label->setObjectName(QString::fromLatin1(name));
    label->setWordWrap(true);
    label->setBuddy(field);
    field->setAccessibleName(qs(text));
    return label;
}

QLineEdit* lineEdit(WizardPageWidget* page, int id, const char* name, std::size_t maxChars) {
    auto* edit = new QLineEdit(page);
    page->addControl(id, edit);
    edit->setObjectName(QString::fromLatin1(name));
    edit->setMaxLength(static_cast<int>(maxChars));
    return edit;
}

QPushButton* browseButton(WizardPageWidget* page, int id, const char* name, const QString& label,
                          const QString& description) {
    auto* button = new QPushButton(QStringLiteral("..."), page);
    page->addControl(id, button);
    button->setObjectName(QString::fromLatin1(name));
    button->setFixedWidth(button->fontMetrics().horizontalAdvance(QStringLiteral("...")) + 24);
    button->setAutoDefault(false);
    // "..." says nothing to a screen reader: the button is announced by the
    // field it fills (its row's label), and what it does is its description.
    button->setAccessibleName(label);
    button->setAccessibleDescription(description);
    return button;
}

QHBoxLayout* row(QWidget* wide, QWidget* narrow) {
    auto* layout = new QHBoxLayout;
    layout->setSpacing(4);
    layout->addWidget(wide, 1);
    layout->addWidget(narrow);
    return layout;
}

}  // namespace

ConnectWizard::ConnectWizard(SettingsStore& settings, FileDialogRunner& files, QWidget* parent)
    : QtWizardView(files, parent),
      controller_(std::make_unique<ConnectWizardController>(*this, settings)) {
    setObjectName(QStringLiteral("ConnectWizard"));
    setWindowTitle(qs(ConnectWizardTexts::Title));
    buildConnectPage();
    buildTransferPage();
    buildRunPage();
    setStartId(ConnectPage);
    setEvents(controller_.get());
}

ConnectWizard::~ConnectWizard() {
    setEvents(nullptr);
}

void ConnectWizard::buildConnectPage() {
    using namespace ConnectPageIds;
    auto* page = new WizardPageWidget;
    QVBoxLayout* column = pageColumns(page, "ConnectPage", ConnectPage);

    auto* address = lineEdit(page, Address, "addressEdit", ConnectLimits::Address);
    auto* port = lineEdit(page, Port, "portEdit", 11);
    port->setFixedWidth(port->fontMetrics().horizontalAdvance(QStringLiteral("0")) * 7 + 12);
    port->setAccessibleName(QStringLiteral("Порт"));
    auto* colon = new QLabel(QStringLiteral(":"), page);
    colon->setObjectName(QStringLiteral("portLabel"));
    colon->setBuddy(port);
    auto* addressRow = new QHBoxLayout;
    addressRow->setSpacing(4);
    addressRow->addWidget(address, 1);
    addressRow->addWidget(colon);
    addressRow->addWidget(port);
    column->addWidget(fieldLabel(ConnectWizardTexts::AddressLabel, "addressLabel", address, page));
    column->addLayout(addressRow);
    address->setAccessibleName(QStringLiteral("Адрес для подключения"));

    auto* admin = lineEdit(page, AdminName, "adminNameEdit", ConnectLimits::KeyName);
    column->addWidget(
        fieldLabel(ConnectWizardTexts::AdminNameLabel, "adminNameLabel", admin, page));
    column->addWidget(admin);

    auto* server = lineEdit(page, ServerName, "serverNameEdit", ConnectLimits::KeyName);
    column->addWidget(
        fieldLabel(ConnectWizardTexts::ServerNameLabel, "serverNameLabel", server, page));
    column->addWidget(server);

    auto* base = lineEdit(page, AdminBase, "adminBaseEdit", ConnectLimits::Path);
    auto* browse = browseButton(page, AdminBaseButton, "adminBaseButton",
                                qs(ConnectWizardTexts::AdminBaseLabel),
                                QStringLiteral("Выбрать базу ключей администратора"));
    column->addWidget(fieldLabel(ConnectWizardTexts::AdminBaseLabel, "adminBaseLabel", base, page));
    column->addLayout(row(base, browse));
    column->addStretch(1);

    setTabOrder(address, port);
    setTabOrder(port, admin);
    setTabOrder(admin, server);
    setTabOrder(server, base);
    setTabOrder(base, browse);
    addWizardPage(page, qs(ConnectWizardTexts::caption(ConnectPage)));
}

void ConnectWizard::buildTransferPage() {
    using namespace TransferPageIds;
    auto* page = new WizardPageWidget;
    QVBoxLayout* column = pageColumns(page, "TransferPage", TransferPage);

    auto* list = new QComboBox(page);
    page->addControl(Interface, list);
    list->setObjectName(QStringLiteral("interfaceList"));
    list->setEditable(false);
    list->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    list->setMinimumContentsLength(16);
    column->addWidget(fieldLabel(ConnectWizardTexts::InterfaceLabel, "interfaceLabel", list, page));
    column->addWidget(list);
    // Only the user's choice refills the file field; the controller fills
    // the list and makes its own first choice itself.
    connect(list, &QComboBox::activated, this, [this] { controller_->onInterfaceChanged(); });

    auto* fetch = new QRadioButton(qs(ConnectWizardTexts::FetchChoice), page);
    auto* upload = new QRadioButton(qs(ConnectWizardTexts::UploadChoice), page);
    page->addControl(Fetch, fetch);
    page->addControl(Upload, upload);
    fetch->setObjectName(QStringLiteral("fetchRadio"));
    upload->setObjectName(QStringLiteral("uploadRadio"));
    auto* group = new QButtonGroup(page);
    group->setExclusive(true);
    group->addButton(fetch);
    group->addButton(upload);
    column->addSpacing(4);
    column->addWidget(fetch);
    column->addWidget(upload);
    column->addSpacing(4);

    auto* file = lineEdit(page, LocalFile, "localFileEdit", ConnectLimits::Path);
    auto* browse = browseButton(page, LocalFileButton, "localFileButton",
                                qs(ConnectWizardTexts::LocalFileLabel),
                                QStringLiteral("Выбрать файл для получения или загрузки"));
    column->addWidget(fieldLabel(ConnectWizardTexts::LocalFileLabel, "localFileLabel", file, page));
    column->addLayout(row(file, browse));
    column->addStretch(1);

    setTabOrder(list, fetch);
    setTabOrder(fetch, upload);
    setTabOrder(upload, file);
    setTabOrder(file, browse);
    addWizardPage(page, qs(ConnectWizardTexts::caption(TransferPage)));
}

void ConnectWizard::buildRunPage() {
    auto* page = new WizardPageWidget;
    QVBoxLayout* column = pageColumns(page, "RunPage", RunPage);

    // The lines stay as composed (a path is never broken inside); a long
    // path scrolls instead of being cut.
    auto* frame = new QScrollArea(page);
    frame->setObjectName(QStringLiteral("summaryFrame"));
    frame->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    frame->setWidgetResizable(true);
    frame->setFocusPolicy(Qt::NoFocus);
    auto* summary = new QLabel;
    summary->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    summary->setTextFormat(Qt::PlainText);
    summary->setMargin(4);
    // Selectable for copying, but it takes no keyboard focus (which would
    // show a text cursor): the page opens with Finish focused.
    summary->setTextInteractionFlags(Qt::TextSelectableByMouse);
    summary->setFocusPolicy(Qt::NoFocus);
    summary->setAccessibleDescription(qs(ConnectWizardTexts::heading(RunPage)));
    frame->setWidget(summary);
    frame->viewport()->setAutoFillBackground(false);
    page->addControl(RunPageIds::Summary, summary);
    summary->setObjectName(QStringLiteral("summary"));
    column->addWidget(frame, 1);
    addWizardPage(page, qs(ConnectWizardTexts::caption(RunPage)));
}

void runConnectWizard(SettingsStore& settings, QWidget* parent) {
    QtFileDialogRunner files(nullptr);
    ConnectWizard wizard(settings, files, parent);
    wizard.exec();
}

}  // namespace Talvek
