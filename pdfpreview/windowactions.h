#pragma once

// Every command of the window in one table: its name, its text, its keys,
// the menu it is in and whether the tool bar shows it. The menus, the tool
// bar and Help → Keys are made from the same entries, so that they cannot
// disagree; keys that the page view handles itself are listed beside them.

#include <QHash>
#include <QKeySequence>
#include <QList>
#include <QObject>
#include <QString>

#include <functional>
#include <utility>

class QAction;
class QMainWindow;
class QMenu;
class QToolBar;

class WindowActions : public QObject
{
    Q_OBJECT
public:
    explicit WindowActions(QMainWindow *window);

    struct Command {
        Command(QString commandName, QString label, QList<QKeySequence> shortcuts, QString inMenu,
                bool inToolBar = false, bool canCheck = false, QString toolBarLabel = QString())
            : name(std::move(commandName))
            , text(std::move(label))
            , keys(std::move(shortcuts))
            , menu(std::move(inMenu))
            , toolBar(inToolBar)
            , checkable(canCheck)
            , shortText(std::move(toolBarLabel))
        { }
        QString name;
        QString text;
        QList<QKeySequence> keys;
        QString menu; // the menu bar's menu it is in; empty for none
        bool toolBar; // shown in the tool bar too
        bool checkable;
        QString shortText; // in the tool bar, where it differs from text
    };
    // Adds the command; triggered() calls slot with the checked state.
    QAction *add(const Command &command, std::function<void(bool)> slot);
    // A key the view handles on its own, for Help → Keys.
    void describeKey(const QString &keys, const QString &what);
    void addSeparator(const QString &menu, bool toolBar = false);
    // A widget in the tool bar, where it stands among the commands.
    void addToolBarWidget(QWidget *widget);

    QAction *action(const QString &name) const { return m_actions.value(name); }
    QMenu *menu(const QString &title);
    // Every key and what it does, in menu order, then the view's own.
    QList<QPair<QString, QString>> keyTable() const;
    // Help → Keys: the table in a window of its own.
    void showKeys();

private:
    QMainWindow *m_window;
    QToolBar *m_toolBar;
    QHash<QString, QAction *> m_actions;
    QList<QAction *> m_ordered;
    QHash<QString, QMenu *> m_menus;
    QList<QPair<QString, QString>> m_viewKeys;
};
