// The update engine's own presentation in the program: one small non-modal message window
// at a time (update found, up to date, failure).
#pragma once

#include <string>

#include "update/UpdateEngine.h"

#include <QPointer>

class QMessageBox;

namespace tolva {

class UpdateDialogs : public UpdateEngine::UserDriver {
public:
    ~UpdateDialogs() override;

    void showUpdateFound(const AppcastItem& item, const UpdateState& state,
                         std::function<void(UpdateChoice)> reply) override;
    void showUpToDate() override;
    void showError(const UpdateError& error) override;
    // What went wrong, in the user's words; the numeric code goes to the log only.
    static std::string errorText(const UpdateError& error);
    void showDownloadProgress(qint64, qint64) override {} // the tray item shows the progress

private:
    QMessageBox* replaceWindow();

    QPointer<QMessageBox> window_;
};

} // namespace tolva
