// Set or change the PIN: the fields, the order of checks, the error line.
#include "unlock/PinSetupSheet.h"

#include "TolvaCore/L10n.h"

#include <QHBoxLayout>
#include <QVBoxLayout>

namespace tolva {

PinSetupSheet::PinSetupSheet(std::shared_ptr<Authenticator> authenticator, QWidget* parent)
    : QDialog(parent), auth_(std::move(authenticator)) {
    setWindowModality(Qt::WindowModal);
    const bool change = auth_->isPINConfigured();
    setWindowTitle(
        QString::fromStdString(change ? L10n::Pin::Sheet::changeTitle() : L10n::Pin::Sheet::setTitle()));
    auto* layout = new QVBoxLayout(this);
    title_ = new QLabel(windowTitle(), this);
    QFont headline = title_->font();
    headline.setBold(true);
    title_->setFont(headline);
    layout->addWidget(title_);
    editor_ = new PinEditor(change, this);
    layout->addWidget(editor_);
    error_ = new QLabel(this);
    error_->setStyleSheet(QStringLiteral("color: #d70015;"));
    error_->setWordWrap(true);
    error_->hide();
    layout->addWidget(error_);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    cancel_ = new QPushButton(QString::fromStdString(L10n::Pin::Sheet::cancelButton()), this);
    save_ = new QPushButton(QString::fromStdString(L10n::Pin::Sheet::saveButton()), this);
    save_->setDefault(true);
    buttons->addWidget(cancel_);
    buttons->addWidget(save_);
    layout->addLayout(buttons);
    connect(cancel_, &QPushButton::clicked, this, &QDialog::reject);
    connect(save_, &QPushButton::clicked, this, [this] { save(); });
    for (QLineEdit* field : {editor_->newField(), editor_->confirmField()})
        connect(field, &QLineEdit::textChanged, this, [this] { updateSaveButton(); });
    // The error is about what was typed: it goes as soon as that changes.
    editor_->onEdited = [this] { error_->hide(); };
    updateSaveButton();
    setMinimumWidth(320);
}

void PinSetupSheet::updateSaveButton() {
    save_->setEnabled(!editor_->newPin().isEmpty() && !editor_->confirm().isEmpty());
}

bool PinSetupSheet::save() {
    if (!save_->isEnabled())
        return false;
    auto show = [this](const std::string& text) {
        error_->setText(QString::fromStdString(text));
        error_->show();
    };
    if (editor_->newPin() != editor_->confirm()) {
        show(Authenticator::ChangeError::mismatch().localizedDescription());
        return false;
    }
    try {
        const std::string current = editor_->current().toStdString();
        auth_->setPIN(editor_->newPin().toStdString(),
                      auth_->isPINConfigured() ? std::optional<std::string_view>(current) : std::nullopt);
    } catch (const Authenticator::ChangeError& error) {
        show(error.localizedDescription());
        // A wrong current PIN is typed again from the start, in its own field.
        if (error.kind() == Authenticator::ChangeError::Kind::currentPinWrong && editor_->currentField()) {
            editor_->currentField()->setFocus();
            editor_->currentField()->selectAll();
        }
        return false;
    }
    accept();
    return true;
}

} // namespace tolva
