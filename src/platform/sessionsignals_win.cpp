#include "platform/sessionsignals.h"

// Windows sessions end programs through window messages, which the main window's close
// event already handles; nothing arrives as a signal.
SessionSignals::SessionSignals(QObject *parent)
    : QObject(parent)
{
}

SessionSignals::~SessionSignals() = default;

void SessionSignals::onReadable() {}
