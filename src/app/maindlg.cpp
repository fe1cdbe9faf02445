#include "app/maindlg.h"

#include <QApplication>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QVBoxLayout>

#include "gui/messagebox.h"
#include "gui/pictures.h"
#include "keystore/version.h"
#include "maintenance/qtutilsdlg.h"
#include "keywizard/createkeywizard.h"

namespace Talvek {

namespace {

const QString kTitle = QStringLiteral("TalvekConfig ") + QLatin1String(kVersion);

// The width the dialog opens at where the screen has room; its least size is
// its layout's.
constexpr int kPreferredWidth = 540;

QPushButton* makeButton(QWidget* parent, const QString& text, int id) {
    auto* button = new QPushButton(text, parent);
    button->setObjectName(QString::number(id));
    button->setAccessibleName(QString(text).remove(QLatin1Char('&')));
    button->setAutoDefault(false);
    button->setMinimumWidth(110);
    return button;
}

// One section: its picture on the left, the description beside it and the
// button that starts it on the right.
QGroupBox* makeSection(QWidget* parent, const QString& title, const QIcon& icon,
                       const QString& text, QPushButton* button, QLabel** iconOut = nullptr,
                       QLabel** textOut = nullptr) {
    auto* group = new QGroupBox(title, parent);
    auto* picture = new QLabel(group);
    picture->setPixmap(icon.pixmap(32, 32));
    picture->setFixedSize(40, 40);
    picture->setAlignment(Qt::AlignTop | Qt::AlignHCenter);
    picture->setAccessibleName(title);
    auto* description = new QLabel(text, group);
    description->setWordWrap(true);
    description->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    description->setBuddy(button);
    button->setParent(group);
    auto* layout = new QGridLayout(group);
    layout->addWidget(picture, 0, 0, Qt::AlignTop);
    layout->addWidget(description, 0, 1);
    layout->addWidget(button, 0, 2, Qt::AlignBottom);
    layout->setColumnStretch(1, 1);
    layout->setHorizontalSpacing(10);
    if (iconOut) *iconOut = picture;
    if (textOut) *textOut = description;
    return group;
}

}  // namespace

MainDlg::MainDlg(SettingsStore& settings, QWidget* parent)
    : QDialog(parent), settings_(settings), files_(this), controller_(*this, settings, files_) {
    setWindowTitle(kTitle);
    setObjectName(QStringLiteral("MainDlg"));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    setWindowIcon(programIcon());

    auto* create = makeButton(this, QStringLiteral("Создание..."), IdMainCreate);
    QGroupBox* createGroup = makeSection(
        this, QStringLiteral("Создание ключа"), keyIcon(),
        QStringLiteral("Создать новый ключ для использования системы безопасности Orvane. "),
        create);
    createGroup->setObjectName(QStringLiteral("createGroup"));

    auto* maintain = makeButton(this, QStringLiteral("Обслуживание..."), IdMainMaintain);
    QGroupBox* maintainGroup = makeSection(
        this, QStringLiteral("Обслуживание ключей"), bookIcon(),
        QStringLiteral("Просмотреть или проверить состояние ключей. Произвести экспорт ключа в "
                       "текстовом виде для резервного хранения или дальнейшего сравнения. "
                       "Удалить неиспользуемые или устаревшие ключи."),
        maintain);
    maintainGroup->setObjectName(QStringLiteral("maintainGroup"));

    auto* connectButton = makeButton(this, QStringLiteral("Соединиться..."), IdMainConnect);
    QLabel* serverIcon = nullptr;
    QLabel* serverText = nullptr;
    QGroupBox* serverGroup =
        makeSection(this, QStringLiteral("Криптосервер"), programIcon(),
                    QStringLiteral("Получить с криптосервера текущую базу ключей.\nЗагрузить на "
                                   "криптосервер измененную базу ключей"),
                    connectButton, &serverIcon, &serverText);
    serverGroup->setObjectName(QString::number(IdMainServerGroup));
    serverIcon->setObjectName(QString::number(IdMainServerIcon));
    serverText->setObjectName(QString::number(IdMainServerText));

    auto* about = makeButton(this, QStringLiteral("&О программе..."), IdMainAbout);
    auto* exit = makeButton(this, QStringLiteral("Выход"), IdMainExit);
    exit->setDefault(true);
    exit->setAutoDefault(true);

    auto* bottom = new QHBoxLayout;
    bottom->addWidget(about);
    bottom->addStretch(1);
    bottom->addWidget(exit);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(createGroup);
    layout->addWidget(maintainGroup);
    layout->addWidget(serverGroup);
    layout->addSpacing(4);
    layout->addLayout(bottom);

    for (auto* button : {create, maintain, connectButton, about, exit}) {
        const int id = button->objectName().toInt();
        connect(button, &QPushButton::clicked, this, [this, id] { controller_.onCommand(id); });
    }
    setTabOrder(create, maintain);
    setTabOrder(maintain, connectButton);
    setTabOrder(connectButton, about);
    setTabOrder(about, exit);
    exit->setFocus();

    // The smallest size is the layout's, with every section whole at any
    // scale: the wrapped descriptions make the height depend on the width,
    // which neither a window's default constraint nor adjustSize (it keeps a
    // window within two thirds of the screen) takes into account. Narrower
    // than the layout's own width the descriptions would grow long columns.
    layout->activate();
    const int least = layout->totalSizeHint().width();
    setMinimumSize(least, layout->totalHeightForWidth(least));
    adjustSize();
    // Where the screen has room, the descriptions read in longer lines.
    const int room = screen()->availableGeometry().width();
    resize(qBound(least, kPreferredWidth, qMax(least, room)), height());
    controller_.onInit();
}

MainDlg::~MainDlg() = default;

void MainDlg::setConnectAction(std::function<void()> action) {
    controller_.setConnectAction(std::move(action));
}

void MainDlg::reject() {
    controller_.onCommand(IdMainCancel);
}

QWidget* MainDlg::control(int id) const {
    return findChild<QWidget*>(QString::number(id));
}

void MainDlg::enableControl(int id, bool enabled) {
    if (QWidget* widget = control(id)) widget->setEnabled(enabled);
}

void MainDlg::runCreateKeyWizard() {
    QtFileDialogRunner files(nullptr);
    CreateKeyWizard wizard(settings_, files, this);
    wizard.exec();
}

void MainDlg::runMaintenance(const std::string& path) {
    QtUtilsDlg dialog(path, settings_, this);
    dialog.exec();
}

std::unique_ptr<QMessageBox> MainDlg::createAboutBox() {
    auto box = std::make_unique<QMessageBox>(this);
    box->setWindowTitle(QStringLiteral("О программе TalvekConfig"));
    box->setObjectName(QStringLiteral("AboutBox"));
    box->setTextFormat(Qt::PlainText);
    box->setText(QLatin1Char('"') + kTitle + QLatin1Char('"'));
    box->setInformativeText(
        QStringLiteral("Создание и обслуживание ключей системы безопасности Talvek "
                       "для клиентов и серверов Orvane."));
    box->setIconPixmap(programIcon().pixmap(48, 48));
    box->addButton(QStringLiteral("OK"), QMessageBox::AcceptRole);
    // Wide enough for the description to read as two lines, not five.
    if (auto* grid = qobject_cast<QGridLayout*>(box->layout()))
        grid->addItem(new QSpacerItem(380, 0, QSizePolicy::Minimum, QSizePolicy::Expanding),
                      grid->rowCount(), 0, 1, grid->columnCount());
    return box;
}

void MainDlg::showAbout() {
    createAboutBox()->exec();
}

void MainDlg::showError(const std::string& text) {
    Talvek::showError(this, text);
}

void MainDlg::endDialog(int code) {
    done(code);
}

}  // namespace Talvek
