#pragma once

#include <QString>
#include <QUrl>

// The live feed's endpoint comes from the server's WebSocketLink column. Checked here,
// once, before any connection is made: an address that cannot carry a WebSocket (empty,
// NULL, another scheme, no host, port 0) is refused with a reason the user can pass on,
// rather than leaving a window that silently never receives a tick.
namespace FeedAddress {

// Empty when `link` is a usable ws:// or wss:// address (read tolerantly, blanks around
// it ignored); otherwise why it is not. `url` receives the parsed address when usable.
QString problem(const QString &link, QUrl *url = nullptr);

} // namespace FeedAddress
