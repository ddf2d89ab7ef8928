// libFuzzer entry for one target; the target's name is compiled in (VANTREL_FUZZ_TARGET).
#include "fuzztargets.h"

#include <QDir>
#include <QTemporaryDir>
#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    static QTemporaryDir dir(QDir::tempPath() + QStringLiteral("/vantrel-fuzz-XXXXXX"));
    FuzzTargets::initialize(dir.path());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzTargets::run(QStringLiteral(VANTREL_FUZZ_TARGET),
                     QByteArray(reinterpret_cast<const char *>(data), int(size)));
    return 0;
}
