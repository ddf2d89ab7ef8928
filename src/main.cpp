#include "app/applicationloop.h"
#include "app/authdialog.h"

int main(int argc, char *argv[])
{
    return ApplicationLoop::run(argc, argv, [] {
        auto controller = std::make_unique<authDialog>(nullptr);
        controller->startupSequence();
        return std::unique_ptr<QObject>(std::move(controller));
    });
}
