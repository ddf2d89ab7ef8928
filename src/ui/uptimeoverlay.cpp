#include "ui/uptimeoverlay.h"

#include "ui/uptimetext.h"

#include <QLabel>
#include <QTimer>
#include <QWidget>

UptimeOverlay::UptimeOverlay(QWidget *window)
    : QObject(window), m_window(window), m_label(new QLabel(window))
{
    m_clock.start();

    m_label->setObjectName(QStringLiteral("uptimeLabel"));
    m_label->setText(QStringLiteral("Uptime: 0:00:00"));
    m_label->setAlignment(Qt::AlignCenter);
    m_label->setStyleSheet(QStringLiteral(
        "QLabel#uptimeLabel { color: #ffffff; background: rgba(0,0,0,0.6); padding: 4px 8px; "
        "border-radius: 4px; font-weight: 600; }"));
    m_label->setAttribute(Qt::WA_TransparentForMouseEvents);
    m_label->adjustSize();
    m_label->show();
    place();

    auto *textTimer = new QTimer(this);
    textTimer->setInterval(1000);
    connect(textTimer, &QTimer::timeout, this, [this] {
        m_label->setText(UptimeText::format(m_clock.elapsed()));
        m_label->adjustSize();
    });
    textTimer->start();

    // Placed on its own beat so the label follows its text as it grows.
    auto *placeTimer = new QTimer(this);
    placeTimer->setInterval(500);
    connect(placeTimer, &QTimer::timeout, this, &UptimeOverlay::place);
    placeTimer->start();
}

void UptimeOverlay::place()
{
    m_label->move(UptimeText::cornerPosition(m_window->size(), m_label->size(), 2));
}
