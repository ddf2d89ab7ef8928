#include "platform/processlist.h"

#include <QDeadlineTimer>
#include <QDebug>
#include <QProcess>
#include <QRegularExpression>
#include <QVector>

namespace ProcessList {

QString listingText(const QByteArray &output)
{
    const int zero = output.indexOf('\0');
    const QByteArray bytes = zero < 0 ? output : output.left(zero);
    return QString::fromLatin1(bytes).simplified();
}

QByteArray runWithin(const QString &program, const QStringList &arguments, int budgetMs)
{
    const QDeadlineTimer deadline(budgetMs);
    auto remaining = [&deadline] { return int(qMax<qint64>(0, deadline.remainingTime())); };
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForStarted(remaining())) {
        qDebug() << program << "could not be started within" << budgetMs << "ms:" << process.errorString();
        process.kill();
        process.waitForFinished(1000);
        return QByteArray();
    }
    if (!process.waitForFinished(remaining())) {
        qDebug() << program << "did not finish within" << budgetMs << "ms";
        process.kill();
        process.waitForFinished(1000);
        return QByteArray();
    }
    return process.readAllStandardOutput();
}

QString snapshotText() { return listingText(snapshot()); }

bool isInstanceImageName(const QString &imageName)
{
    static const QRegularExpression pattern(
        QStringLiteral("^vantrel[a-z0-9]*(\\.exe)?$"), QRegularExpression::CaseInsensitiveOption);
    return pattern.match(imageName).hasMatch();
}

int countInstances(const QByteArray &output)
{
    // Image names hold no blanks for this program, so after collapsing white space every
    // token can be tested on its own; the other columns (PIDs, session names, memory
    // figures, the header) never look like an image name of ours.
    const QString text = listingText(output);
    int count = 0;
    const QVector<QStringRef> tokens = text.splitRef(QLatin1Char(' '), Qt::SkipEmptyParts);
    for (const QStringRef &token : tokens) {
        if (isInstanceImageName(token.toString()))
            ++count;
    }
    return count;
}

} // namespace ProcessList
