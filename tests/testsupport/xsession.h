#pragma once

#include <QByteArray>
#include <QProcess>
#include <QSize>
#include <QString>
#include <QStringList>

// A private X server (Xvfb) for suites that drive the real binary's windows as a user
// would, with xdotool: clicks at a spot of a window found by its title, keys, typing.
// The server ends with the object.
class XSession
{
public:
    XSession() = default;
    ~XSession();
    XSession(const XSession &) = delete;
    XSession &operator=(const XSession &) = delete;

    // Starts the server; false (with the reason in error()) when it or xdotool is missing.
    bool start();
    QString error() const { return m_error; }
    // ":N", for DISPLAY.
    QString display() const { return m_display; }
    // The variables a program started on this server needs.
    QStringList variables() const;

    // One xdotool run on this display: its output, empty when it failed.
    QByteArray xdotool(const QStringList &args) const;
    // The first visible window whose title matches `title` (a regular expression), waiting
    // up to `timeoutMs` for it; empty when none came.
    QByteArray findWindow(const QString &title, int timeoutMs = 15000) const;
    QSize windowSize(const QString &title) const;
    // Clicks at (x, y) inside that window; false when there is none.
    bool clickIn(const QString &title, int x, int y) const;
    // Keys ("ctrl+a", "alt+r") and text to whichever window has the keyboard.
    void key(const QString &keys) const;
    void type(const QString &text) const;

private:
    QProcess m_server;
    QString m_display;
    QString m_error;
};
