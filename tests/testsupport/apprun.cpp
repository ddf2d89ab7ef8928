#include "apprun.h"

#include "testenv.h"

#include <QElapsedTimer>
#include <QFile>

AppRun::AppRun(const TestEnv &env, const QStringList &variables) : m_env(env.appEnvironment())
{
    for (const QString &kv : variables)
        setVariable(kv.section(QLatin1Char('='), 0, 0), kv.section(QLatin1Char('='), 1));
}

AppRun::~AppRun()
{
    if (running()) {
        m_proc.kill();
        m_proc.waitForFinished(10000);
    }
}

void AppRun::setVariable(const QString &name, const QString &value) { m_env.insert(name, value); }

bool AppRun::start(const QStringList &wrapper)
{
    m_boxLog = m_env.value(QStringLiteral("VANTREL_BOX_LOG"));
    TestEnv::startApp(&m_proc, m_env, wrapper);
    m_started = m_proc.waitForStarted(10000);
    return m_started;
}

bool AppRun::waitUntil(const std::function<bool()> &done, int timeoutMs, int pollMs)
{
    QElapsedTimer t;
    t.start();
    output();
    while (!done()) {
        if (!running() || t.elapsed() >= timeoutMs) {
            output();
            return done();
        }
        m_proc.waitForReadyRead(pollMs);
        output();
    }
    return true;
}

bool AppRun::waitForOutput(const QByteArray &marker, int timeoutMs, int count)
{
    return waitUntil([&] { return m_out.count(marker) >= count; }, timeoutMs);
}

void AppRun::readFor(int ms)
{
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms && running()) {
        m_proc.waitForReadyRead(int(qMin<qint64>(100, ms - t.elapsed())));
        output();
    }
}

const QByteArray &AppRun::output()
{
    m_out += m_proc.readAll();
    return m_out;
}

QString AppRun::boxLog() const
{
    QFile f(m_boxLog);
    return f.open(QIODevice::ReadOnly | QIODevice::Text) ? QString::fromUtf8(f.readAll()) : QString();
}

QStringList AppRun::boxes() const { return boxLog().split(QLatin1Char('\n'), Qt::SkipEmptyParts); }

void AppRun::requestClose()
{
    if (running())
        m_proc.terminate();
}

bool AppRun::kill()
{
    if (running()) {
        m_proc.kill();
        m_proc.waitForFinished(10000);
    }
    return !running();
}

int AppRun::waitForExit(int timeoutMs)
{
    if (!m_started)
        return -3;
    if (running() && !m_proc.waitForFinished(timeoutMs)) {
        output();
        kill();
        return -1;
    }
    output();
    return m_proc.exitStatus() == QProcess::NormalExit ? m_proc.exitCode() : -2;
}
