#include "app/applicationloop.h"

#include <QObject>

int main(int argc, char *argv[])
{
    return ApplicationLoop::run(argc, argv, [] { return std::unique_ptr<QObject>(); });
}
