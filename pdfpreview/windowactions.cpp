#include "windowactions.h"

#include <QAction>
#include <QDialog>
#include <QDialogButtonBox>
#include <QHeaderView>
#include <QMainWindow>
#include <QMenuBar>
#include <QTableWidget>
#include <QToolBar>
#include <QVBoxLayout>

WindowActions::WindowActions(QMainWindow *window)
    : QObject(window)
    , m_window(window)
    , m_toolBar(window->addToolBar(tr("View")))
{
    m_toolBar->setObjectName(QStringLiteral("view"));
}

QMenu *WindowActions::menu(const QString &title)
{
    QMenu *&menu = m_menus[title];
    if (!menu)
        menu = m_window->menuBar()->addMenu(title);
    return menu;
}

QAction *WindowActions::add(const Command &command, std::function<void(bool)> slot)
{
    auto *action = new QAction(command.text, m_window);
    action->setObjectName(command.name);
    action->setShortcuts(command.keys);
    action->setCheckable(command.checkable);
    if (!command.shortText.isEmpty())
        action->setIconText(command.shortText);
    // Shortcuts work with the menu bar hidden (full screen, presentation).
    action->setShortcutContext(Qt::WindowShortcut);
    m_window->addAction(action);
    if (!command.menu.isEmpty())
        menu(command.menu)->addAction(action);
    if (command.toolBar)
        m_toolBar->addAction(action);
    if (slot)
        connect(action, &QAction::triggered, this, [slot](bool checked) { slot(checked); });
    m_actions.insert(command.name, action);
    m_ordered.append(action);
    return action;
}

void WindowActions::describeKey(const QString &keys, const QString &what)
{
    m_viewKeys.append({keys, what});
}

void WindowActions::addSeparator(const QString &title, bool toolBar)
{
    if (!title.isEmpty())
        menu(title)->addSeparator();
    if (toolBar)
        m_toolBar->addSeparator();
}

void WindowActions::addToolBarWidget(QWidget *widget)
{
    m_toolBar->addWidget(widget);
}

QList<QPair<QString, QString>> WindowActions::keyTable() const
{
    QList<QPair<QString, QString>> table;
    for (const QAction *action : m_ordered) {
        QStringList keys;
        for (const QKeySequence &key : action->shortcuts())
            keys << key.toString(QKeySequence::NativeText);
        if (!keys.isEmpty())
            table.append({keys.join(QStringLiteral(", ")), QString(action->text()).remove(QLatin1Char('&'))});
    }
    return table + m_viewKeys;
}

void WindowActions::showKeys()
{
    auto *dialog = new QDialog(m_window);
    dialog->setObjectName(QStringLiteral("keys"));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowTitle(tr("Keys"));
    const auto table = keyTable();
    auto *list = new QTableWidget(int(table.size()), 2, dialog);
    list->setHorizontalHeaderLabels({tr("Key"), tr("Does")});
    list->verticalHeader()->hide();
    list->setEditTriggers(QAbstractItemView::NoEditTriggers);
    for (int row = 0; row < table.size(); ++row) {
        list->setItem(row, 0, new QTableWidgetItem(table[row].first));
        list->setItem(row, 1, new QTableWidgetItem(table[row].second));
    }
    list->resizeColumnsToContents();
    list->horizontalHeader()->setStretchLastSection(true);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Close, dialog);
    connect(buttons, &QDialogButtonBox::rejected, dialog, &QDialog::close);
    auto *layout = new QVBoxLayout(dialog);
    layout->addWidget(list);
    layout->addWidget(buttons);
    dialog->resize(520, 560);
    dialog->show();
}
