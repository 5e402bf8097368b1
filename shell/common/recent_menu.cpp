// The recent-names drop-down of a path field.
#include "shell/common/recent_menu.h"

#include "base/recent_names.h"

#include <QAction>
#include <QFile>
#include <QLineEdit>
#include <QMenu>
#include <QStyle>

namespace quoralith {

namespace {

const char* const ACTION_NAME = "RecentNames";
const char* const MENU_NAME = "RecentNamesMenu";

void fill(QMenu* menu, QLineEdit* edit, const std::string& list) {
    menu->clear();
    const std::vector<std::string> names = recent_names(list);
    if (names.empty()) {
        menu->addAction(QObject::tr("(no names used yet)"))->setEnabled(false);
        return;
    }
    for (const std::string& name : names) {
        const QString text = QFile::decodeName(QByteArray::fromStdString(name));
        // "&" would otherwise be taken for a shortcut mark.
        QAction* choice = menu->addAction(QString(text).replace(QLatin1Char('&'), QStringLiteral("&&")));
        choice->setToolTip(text);
        QObject::connect(choice, &QAction::triggered, edit, [edit, text] {
            edit->setText(text);
            edit->setFocus(Qt::OtherFocusReason);
        });
    }
}

}  // namespace

void attach_recent_names(QLineEdit* edit, const QString& list) {
    attach_recent_names(edit, [list] { return list; });
}

void attach_recent_names(QLineEdit* edit, std::function<QString()> list) {
    if (!edit || !list || recent_names_action(edit)) return;
    auto* menu = new QMenu(edit);
    menu->setObjectName(QString::fromLatin1(MENU_NAME));
    menu->setToolTipsVisible(true);
    QAction* arrow = edit->addAction(edit->style()->standardIcon(QStyle::SP_ArrowDown), QLineEdit::TrailingPosition);
    arrow->setObjectName(QString::fromLatin1(ACTION_NAME));
    arrow->setToolTip(QObject::tr("Names used lately (Alt+Down)"));
    // The keyboard way to the list, as in a drop-down box.
    arrow->setShortcut(QKeySequence(Qt::ALT | Qt::Key_Down));
    arrow->setShortcutContext(Qt::WidgetShortcut);
    QObject::connect(menu, &QMenu::aboutToShow, menu,
                     [menu, edit, list = std::move(list)] { fill(menu, edit, list().toStdString()); });
    QObject::connect(arrow, &QAction::triggered, edit, [menu, edit] {
        menu->setMinimumWidth(edit->width());
        menu->popup(edit->mapToGlobal(edit->rect().bottomLeft()));
    });
}

QAction* recent_names_action(const QLineEdit* edit) {
    return edit ? edit->findChild<QAction*>(QString::fromLatin1(ACTION_NAME)) : nullptr;
}

QMenu* recent_names_menu(const QLineEdit* edit) {
    return edit ? edit->findChild<QMenu*>(QString::fromLatin1(MENU_NAME)) : nullptr;
}

}  // namespace quoralith
