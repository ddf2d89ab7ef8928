#pragma once

// Debian's openssl command as an independent AES and digest implementation.
#include <QByteArray>
#include <QProcess>
#include <QStringList>

namespace OpenSslCli {

// Runs "openssl <args>" with `input` on stdin; the bytes it wrote, empty when it failed.
inline QByteArray run(const QStringList &args, const QByteArray &input)
{
    QProcess p;
    p.start(QStringLiteral("openssl"), args);
    if (!p.waitForStarted(5000))
        return QByteArray();
    p.write(input);
    p.closeWriteChannel();
    if (!p.waitForFinished(10000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
        return QByteArray();
    return p.readAllStandardOutput();
}

// AES-<bits>-<mode> encryption or decryption without padding ("-nopad"), key and IV as hex.
inline QByteArray aes(bool encrypt, int bits, const QString &mode, const QByteArray &key,
                      const QByteArray &iv, const QByteArray &input, bool pad = false)
{
    QStringList args{QStringLiteral("enc"), QStringLiteral("-aes-%1-%2").arg(bits).arg(mode),
                     encrypt ? QStringLiteral("-e") : QStringLiteral("-d"), QStringLiteral("-K"),
                     QString::fromLatin1(key.toHex())};
    if (!pad)
        args << QStringLiteral("-nopad");
    if (mode != QLatin1String("ecb"))
        args << QStringLiteral("-iv") << QString::fromLatin1(iv.toHex());
    return run(args, input);
}

// Raw digest ("sha256", "md5") of the input.
inline QByteArray digest(const QString &name, const QByteArray &input)
{
    return run({QStringLiteral("dgst"), QStringLiteral("-") + name, QStringLiteral("-binary")}, input);
}

} // namespace OpenSslCli
