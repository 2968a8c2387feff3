// Message windows for update checks the user asked for.
#include "update/UpdateDialogs.h"

#include "TolvaCore/L10n.h"

#include <QMessageBox>
#include <QPushButton>

namespace tolva {

namespace {

QString text(const std::string& value) {
    return QString::fromStdString(value);
}

} // namespace

UpdateDialogs::~UpdateDialogs() {
    delete window_.data();
}

QMessageBox* UpdateDialogs::replaceWindow() {
    delete window_.data();
    window_ = new QMessageBox();
    window_->setAttribute(Qt::WA_DeleteOnClose);
    window_->setWindowTitle(QStringLiteral("Tolva Screen"));
    window_->setWindowModality(Qt::NonModal);
    return window_;
}

void UpdateDialogs::showUpdateFound(const AppcastItem& item, const UpdateState& state,
                                    std::function<void(UpdateChoice)> reply) {
    QMessageBox* box = replaceWindow();
    const std::string version = item.displayVersionString().toStdString();
    box->setText(text(L10n::Update::Alert::title()));
    box->setInformativeText(text(state.packageManaged ? L10n::Update::Alert::packageManager(version)
                                                      : L10n::Update::Alert::readyToInstall(version)));
    QPushButton* install = nullptr;
    if (state.stage == UpdateState::Stage::installing)
        install = box->addButton(text(L10n::Update::Button::installAndRestart()), QMessageBox::AcceptRole);
    QPushButton* skip = box->addButton(text(L10n::Update::Button::skip()), QMessageBox::DestructiveRole);
    QPushButton* later = box->addButton(text(L10n::Update::Button::later()), QMessageBox::RejectRole);
    box->setDefaultButton(install ? install : later);
    QObject::connect(box, &QMessageBox::finished, [box, install, skip, reply] {
        const auto* clicked = box->clickedButton();
        if (install && clicked == install)
            reply(UpdateChoice::install);
        else if (clicked == skip)
            reply(UpdateChoice::skip);
        else
            reply(UpdateChoice::dismiss);
    });
    box->show();
}

void UpdateDialogs::showUpToDate() {
    QMessageBox* box = replaceWindow();
    box->setText(text(L10n::Update::Alert::upToDate()));
    box->show();
}

void UpdateDialogs::showError(const UpdateError& error) {
    QMessageBox* box = replaceWindow();
    box->setIcon(QMessageBox::Warning);
    box->setText(text(errorText(error)));
    box->show();
}

std::string UpdateDialogs::errorText(const UpdateError& error) {
    using Code = UpdateError::Code;
    switch (error.code) {
    case Code::feedFailed:
    case Code::feedTimedOut:
    case Code::downloadFailed:
    case Code::downloadTimedOut:
    case Code::downloadTruncated:
        return L10n::Update::Alert::networkFailed();
    case Code::feedAddressRefused:
    case Code::feedTooLarge:
    case Code::feedMalformed:
    case Code::downloadTooLarge:
    case Code::downloadAddressRefused:
        return L10n::Update::Alert::feedFailed();
    case Code::signatureMissing:
    case Code::signatureInvalid:
    case Code::notTheAnnouncedVersion:
        return L10n::Update::Alert::verifyFailed();
    case Code::unpackFailed:
    case Code::installFailed:
    case Code::newVersionDidNotStart:
        return L10n::Update::Alert::installFailed();
    }
    return L10n::Update::Alert::installFailed();
}

} // namespace tolva
