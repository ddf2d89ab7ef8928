#include "shell/applicationloop.h"
#include "shell/startupcontroller.h"

int main(int argc, char *argv[])
{
    return ApplicationLoop::run(argc, argv, [] {
        auto controller = std::make_unique<StartupController>(nullptr);
        controller->startupSequence();
        return std::unique_ptr<QObject>(std::move(controller));
    });
}
