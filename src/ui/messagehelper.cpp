#include "ui/messagehelper.h"

#include <QAbstractButton>
#include <QPushButton>
#include <QFile>
#include <QTextStream>

namespace MessageHelper {

static Hook &hook()
{
    static Hook h;
    return h;
}

void setHook(Hook h) { hook() = std::move(h); }

static void logForUnattendedRun(const QMessageBox &box, const QString &path)
{
    QFile f(path);
    if (f.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text)) {
        QTextStream out(&f);
        QString text = box.text();
        text.replace(QLatin1Char('\n'), QLatin1String("\\n"));
        out << box.windowTitle() << '|' << text << '\n';
    }
}

int exec(QMessageBox &box)
{
    if (hook()) {
        hook()(box);
        return box.result();
    }
    const QString logPath = qEnvironmentVariable("VANTREL_BOX_LOG");
    if (!logPath.isEmpty()) {
        logForUnattendedRun(box, logPath);
        QAbstractButton *answer = box.defaultButton();
        if (!answer && !box.buttons().isEmpty())
            answer = box.buttons().constFirst();
        if (answer)
            answer->click();
        return box.result();
    }
    return box.exec();
}

void applyStyle(QMessageBox &box)
{
    QFont f = box.font();
    f.setPointSize(f.pointSize() + 3);
    box.setFont(f);
    box.setStyleSheet(QStringLiteral(
        "QLabel { font-size: 13pt; color: #102030; } QPushButton { font-size: 11pt; min-width: 80px; }"));
}

QMessageBox::StandardButton show(QWidget *parent, QMessageBox::Icon icon, const QString &title,
                                 const QString &text, QMessageBox::StandardButtons buttons)
{
    QMessageBox box(icon, title, text, buttons, parent);
    applyStyle(box);
    return static_cast<QMessageBox::StandardButton>(exec(box));
}

} // namespace MessageHelper
