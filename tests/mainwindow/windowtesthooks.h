#pragma once

// Test seams shared by the main-window suites: every message box is recorded and
// answered, every immediate process end and every browser request is recorded instead of
// happening; and the server database as the start-up hands it to the main window.
#include "app/processexit.h"
#include "platform/desktop.h"
#include "serverdb/serverdatabase.h"
#include "ui/messagehelper.h"

#include <QAbstractButton>
#include <QPushButton>
#include <QList>
#include <QMessageBox>
#include <QString>
#include <QStringList>
#include <QUrl>

struct RecordedBox
{
    QMessageBox::Icon icon;
    QString title;
    QString text;
    QString informativeText;
    QStringList buttons;
    bool hasParent = false;
};

class WindowTestHooks
{
public:
    QList<RecordedBox> boxes;
    QList<int> exits;
    QList<QUrl> openedUrls;
    // Text of the button to click; empty clicks the default button (or the first).
    QString answer;

    void install()
    {
        MessageHelper::setHook([this](QMessageBox &box) {
            RecordedBox r{box.icon(), box.windowTitle(), box.text(), box.informativeText(), {},
                          box.parentWidget() != nullptr};
            QAbstractButton *toClick = box.defaultButton();
            for (QAbstractButton *b : box.buttons()) {
                r.buttons << b->text();
                if (!answer.isEmpty() && b->text() == answer)
                    toClick = b;
            }
            if (!toClick && !box.buttons().isEmpty())
                toClick = box.buttons().constFirst();
            boxes << r;
            if (toClick)
                toClick->click();
        });
        ProcessExit::setHook([this](int status) { exits << status; });
        Desktop::setHook([this](const QUrl &url) { openedUrls << url; });
    }

    void uninstall()
    {
        MessageHelper::setHook({});
        ProcessExit::setHook({});
        Desktop::setHook({});
    }

    void clear()
    {
        boxes.clear();
        exits.clear();
        openedUrls.clear();
        answer.clear();
    }

    QStringList titles() const
    {
        QStringList t;
        for (const RecordedBox &b : boxes)
            t << b.title;
        return t;
    }
};

// The connection to the local server database, registered and opened as the start-up
// controller does before it builds the main window on it.
class OpenedDatabase : public ServerDatabase
{
public:
    OpenedDatabase() { connect(); }
};
