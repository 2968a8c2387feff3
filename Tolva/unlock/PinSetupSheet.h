// The modal form in which the user sets a first PIN or changes the existing one.
#pragma once

#include "unlock/Authenticator.h"
#include "unlock/PinEditor.h"

#include <QDialog>
#include <QLabel>
#include <QPushButton>

#include <memory>

namespace tolva {

class PinSetupSheet : public QDialog {
public:
    PinSetupSheet(std::shared_ptr<Authenticator> authenticator, QWidget* parent = nullptr);

    // Checks and stores; closes the sheet on success. Returns whether it stored a PIN.
    bool save();

    PinEditor* editor() const { return editor_; }
    QPushButton* saveButton() const { return save_; }
    QPushButton* cancelButton() const { return cancel_; }
    QLabel* errorLabel() const { return error_; }
    QLabel* titleLabel() const { return title_; }

private:
    void updateSaveButton();

    std::shared_ptr<Authenticator> auth_;
    QLabel* title_;
    PinEditor* editor_;
    QLabel* error_;
    QPushButton* cancel_;
    QPushButton* save_;
};

} // namespace tolva
