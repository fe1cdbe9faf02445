#pragma once
// What an assistive tool (a screen reader over AT-SPI, an automated UI test)
// finds in a window: its accessible tree walked from the top, and the
// controls it would announce without saying what they do. Also the tool's
// way of working a control: its accessible action.

#include <QAccessible>
#include <QAccessibleActionInterface>
#include <QAccessibleInterface>
#include <QString>
#include <QStringList>
#include <QWidget>

#include <functional>
#include <string>
#include <vector>

namespace TestSupport {

// Roles a user works with; each must say what it is for.
inline bool isControlRole(QAccessible::Role role) {
    switch (role) {
        case QAccessible::Button:
        case QAccessible::CheckBox:
        case QAccessible::RadioButton:
        case QAccessible::EditableText:
        case QAccessible::ComboBox:
        case QAccessible::SpinBox:
        case QAccessible::Slider:
        case QAccessible::List:
        case QAccessible::Tree:
        case QAccessible::Table:
        case QAccessible::PageTab:
        case QAccessible::ButtonMenu:
        case QAccessible::ButtonDropDown:
        case QAccessible::Link:
            return true;
        default:
            return false;
    }
}

// A name that tells a listener nothing: none, only punctuation ("...", ":"),
// or a word that names the kind of thing instead of the thing.
inline bool isMeaninglessName(const QString& name) {
    const QString text = name.trimmed();
    static const QStringList generic = {
        QStringLiteral("Рисунок"), QStringLiteral("Картинка"), QStringLiteral("Кнопка"),
        QStringLiteral("Static"),  QStringLiteral("Picture"),  QStringLiteral("Image"),
        QStringLiteral("Button"),
    };
    if (generic.contains(text, Qt::CaseInsensitive)) return true;
    for (const QChar c : text) {
        if (c.isLetterOrNumber()) return false;
    }
    return true;
}

// The name a screen reader says for a node: its own, else that of the label
// that labels it (on Linux a list's name is its current entry, and its label
// comes by this relation).
inline QString spokenName(QAccessibleInterface* node) {
    const QString own = node->text(QAccessible::Name);
    if (!isMeaninglessName(own)) return own;
    for (const auto& [label, relation] : node->relations(QAccessible::Label)) {
        if (label && !isMeaninglessName(label->text(QAccessible::Name)))
            return label->text(QAccessible::Name);
    }
    return own;
}

// Every visible node from the given one down, depth first.
inline void walkAccessible(QAccessibleInterface* node,
                           const std::function<void(QAccessibleInterface*)>& visit) {
    if (!node || node->state().invisible) return;
    visit(node);
    for (int i = 0; i < node->childCount(); ++i) walkAccessible(node->child(i), visit);
}

// A node for messages: role (hex), name and object name.
inline std::string describe(QAccessibleInterface* node) {
    const QString object = node->object() ? node->object()->objectName() : QString();
    return (QString::number(node->role(), 16) + QStringLiteral(" '") +
            node->text(QAccessible::Name) + QStringLiteral("' (") + object + QStringLiteral(")"))
        .toStdString();
}

// The visible controls a screen reader would announce by an empty or
// meaningless name, and any other node whose name says nothing (a picture
// called "Рисунок"). Plain texts are read as they are and not listed.
inline std::vector<std::string> unnamedControls(QWidget* window) {
    std::vector<std::string> found;
    walkAccessible(QAccessible::queryAccessibleInterface(window), [&](QAccessibleInterface* node) {
        const QString name = node->text(QAccessible::Name);
        const bool control = isControlRole(node->role());
        if (control && isMeaninglessName(spokenName(node))) {
            found.push_back(describe(node));
        } else if (!control && node->role() != QAccessible::StaticText && !name.isEmpty() &&
                   isMeaninglessName(name)) {
            found.push_back(describe(node));
        }
    });
    return found;
}

// Works the control as an assistive tool does: through the named action of
// its accessible interface. False when the control offers no such action.
inline bool doAccessibleAction(QWidget* control, const QString& action) {
    QAccessibleInterface* face = QAccessible::queryAccessibleInterface(control);
    QAccessibleActionInterface* actions = face ? face->actionInterface() : nullptr;
    if (!actions || !actions->actionNames().contains(action)) return false;
    actions->doAction(action);
    return true;
}

}  // namespace TestSupport
