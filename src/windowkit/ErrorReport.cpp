#include "ErrorReport.h"

#include "EngineErrors.h"
#include "Platform.h"
#include "PlatformErrors.h"

namespace ErrorReport {

QString title()
{
    return QStringLiteral("Attention - An error has occurred!");
}

QString text(const Failure& failure)
{
    return QStringLiteral("Oh no!  Error : #") + QString::number(failure.number()) + QStringLiteral(" : ")
        + failure.description();
}

void show(Platform& platform, QWidget* window, const Failure& failure, CancelFilter filter)
{
    if (filter == CancelFilter::SilentOnCancel && failure.number() == PlatformError::Cancelled)
        return;
    if (failure.number() == EngineError::Stopped) {
        platform.messageBox(failure.description(), QStringLiteral("Stopped"), window);
        return;
    }
    platform.messageBox(text(failure), title(), window);
}

bool trap(Platform& platform, QWidget* window, CancelFilter filter, const std::function<void()>& action,
          const std::function<void()>& cleanup)
{
    auto fail = [&](const Failure& failure) {
        if (cleanup)
            cleanup();
        show(platform, window, failure, filter);
        return false;
    };
    try {
        action();
        return true;
    } catch (const Failure& failure) {
        return fail(failure);
    } catch (const std::bad_alloc&) {
        return fail(PlatformError::failure(PlatformError::OutOfMemory));
    } catch (const std::exception& e) {
        return fail(Failure(PlatformError::InternalError,
                            PlatformError::description(PlatformError::InternalError) + QStringLiteral(": ")
                                + QString::fromLocal8Bit(e.what())));
    }
}

} // namespace ErrorReport
