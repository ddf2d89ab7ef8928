#include "platform/executabletrust.h"

#ifndef VANTREL_UPDATE_PUBLISHER
#define VANTREL_UPDATE_PUBLISHER ""
#endif

namespace ExecutableTrust {

QString requiredPublisher() { return QString::fromUtf8(VANTREL_UPDATE_PUBLISHER).trimmed(); }

} // namespace ExecutableTrust
