#include "shell/applicationloop.h"

#include "app/settingskeys.h"
#include "app/stallwatch.h"

#include <QApplication>
#include <QFont>
#include <QObject>

namespace ApplicationLoop {

int run(int &argc, char **argv, const StartPass &startPass)
{
    for (;;) {
        QCoreApplication::setAttribute(Qt::AA_DisableHighDpiScaling, true);
        QCoreApplication::setAttribute(Qt::AA_Use96Dpi, true);

        int exitCode = 0;
        {
            QApplication app(argc, argv);

            QFont font(QStringLiteral("Segoe UI"), 9);
            font.setStyleStrategy(QFont::PreferAntialias);
            QApplication::setFont(font);

            QCoreApplication::setOrganizationName(SettingsKeys::kOrganization);
            QCoreApplication::setApplicationName(SettingsKeys::kApplication);
            QGuiApplication::setApplicationDisplayName(QString());
            QCoreApplication::setApplicationVersion(SettingsKeys::kVersion);
            StallWatch::startIfRequested(&app);

            std::unique_ptr<QObject> controller = startPass ? startPass() : nullptr;
            exitCode = QApplication::exec();
            controller.reset(); // the start-up controller goes before the application object
        }
        if (exitCode != kRestartCode)
            return 0;
    }
}

} // namespace ApplicationLoop
