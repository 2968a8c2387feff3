// Slow work (a PIN derivation, a password check) on a thread of its own, with the result
// handed back to the main thread through the Qt event loop.
#pragma once

#include "lock/LockCollaborators.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <thread>

namespace tolva {

class QtBackgroundRunner : public BackgroundRunner {
public:
    void run(std::function<bool()> work, std::function<void(bool)> onMainThread) override {
        std::thread([work = std::move(work), onMainThread = std::move(onMainThread)] {
            const bool result = work();
            QMetaObject::invokeMethod(
                QCoreApplication::instance(), [onMainThread, result] { onMainThread(result); },
                Qt::QueuedConnection);
        }).detach();
    }
};

} // namespace tolva
