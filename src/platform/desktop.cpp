#include "platform/desktop.h"

#include <QDebug>

namespace Desktop {

static Hook &hook()
{
    static Hook h;
    return h;
}

void setHook(Hook h) { hook() = std::move(h); }

bool browserSuppressed()
{
    const QByteArray noBrowser = qgetenv("VANTREL_NO_BROWSER");
    if (!noBrowser.isEmpty() && noBrowser != "0")
        return true;
    return qgetenv("QT_QPA_PLATFORM").startsWith("offscreen");
}

bool openUrl(const QUrl &url)
{
    if (hook()) {
        hook()(url);
        return true;
    }
    if (browserSuppressed()) {
        qDebug() << "Not opening" << url.toString() << "(browser suppressed)";
        return false;
    }
    const bool opened = openWithSystem(url);
    if (!opened)
        qDebug() << "No handler accepted" << url.toString();
    return opened;
}

bool openWebLink(const QString &link)
{
    const QUrl url = QUrl::fromUserInput(link);
    const QString scheme = url.scheme().toLower();
    if (scheme != QLatin1String("http") && scheme != QLatin1String("https")) {
        qDebug() << "Link ignored, not a web address:" << link;
        return false;
    }
    return openUrl(url);
}

} // namespace Desktop
