#include "platform/childprocess.h"

#include <QCoreApplication>

namespace {
constexpr int kEndWaitMs = 5000;
}

ChildProcess::ChildProcess(QObject *parent)
    : QProcess(parent)
    , m_parentPid(QCoreApplication::applicationPid())
{
    setStandardInputFile(QProcess::nullDevice());
    // Connected before any owner's slot, so the program is bound first and released last.
    connect(this, &QProcess::started, this, &ChildProcess::bindToProgram);
    connect(this, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
            &ChildProcess::releaseTree);
}

ChildProcess::~ChildProcess()
{
    if (state() != NotRunning)
        killTree();
    releaseTree();
}

void ChildProcess::endAndWait()
{
    if (state() == NotRunning)
        return;
    kill();
    waitForFinished(kEndWaitMs);
}
