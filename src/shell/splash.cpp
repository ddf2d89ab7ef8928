#include "shell/splash.h"

#include <QDebug>
#include <QGuiApplication>
#include <QLabel>
#include <QPixmap>
#include <QProgressBar>
#include <QPropertyAnimation>
#include <QScreen>
#include <QSequentialAnimationGroup>

#include <algorithm>
#include <cmath>

namespace {
double g_durationScale = 1.0;
}

Splash::Splash() : Splash(QStringLiteral(":/startup.jpg")) {}

Splash::Splash(const QString &imagePath)
    : QDialog(nullptr), m_imagePath(imagePath)
{
    setWindowOpacity(0.0);
}

Splash::~Splash() = default;

void Splash::setDurationScale(double scale) { g_durationScale = scale; }
double Splash::durationScale() { return g_durationScale; }

int Splash::scaled(int ms)
{
    // At least 1 ms, so the group always finishes through the event loop and never
    // before exec() has started.
    return std::max(1, int(std::lround(ms * g_durationScale)));
}

QRect Splash::startRect(const QSize &image)
{
    return QRect(100, 100, image.width() / 5, image.height() / 5);
}

QRect Splash::centredRect(const QSize &image, const QSize &screen)
{
    return QRect((screen.width() - image.width()) / 2, (screen.height() - image.height()) / 2,
                 image.width(), image.height());
}

void Splash::showAnimation()
{
    // A second run replaces the first run's objects; the group goes before its targets.
    m_group.reset();
    m_geometry = nullptr;
    m_barFill = nullptr;

    m_splash = std::make_unique<QLabel>();
    m_splash->setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint | Qt::WindowTitleHint);
    const QPixmap image(m_imagePath);
    if (image.isNull())
        qDebug() << "Splash: cannot load" << m_imagePath;
    m_splash->setPixmap(image);
    m_splash->setScaledContents(true);

    const int w = image.width();
    m_bar = new QProgressBar(m_splash.get());
    m_bar->setTextVisible(false);
    m_bar->setGeometry(0, 0, w, kBarHeight);

    QSize screenSize;
    if (const QScreen *primary = QGuiApplication::primaryScreen())
        screenSize = primary->size();

    m_group = std::make_unique<QSequentialAnimationGroup>();
    m_geometry = new QPropertyAnimation(m_splash.get(), "geometry", m_group.get());
    m_geometry->setDuration(scaled(kGeometryDurationMs));
    m_geometry->setStartValue(startRect(image.size()));
    m_geometry->setEndValue(centredRect(image.size(), screenSize));

    m_barFill = new QPropertyAnimation(m_bar, "value", m_group.get());
    m_barFill->setDuration(scaled(kBarDurationMs));
    m_barFill->setStartValue(0);
    m_barFill->setEndValue(100);

    m_group->addAnimation(m_geometry);
    m_group->addAnimation(m_barFill);

    m_splash->show();
    connect(m_group.get(), &QAbstractAnimation::finished, this, &QDialog::close);
    m_group->start();
    if (m_group->state() != QAbstractAnimation::Stopped)
        exec();
}

void Splash::hideSplash()
{
    if (m_splash)
        m_splash->hide();
}
