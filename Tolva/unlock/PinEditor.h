// The masked fields of a PIN form: the current PIN (when one is set), the new PIN, and the new
// PIN again.
#pragma once

#include <QLineEdit>
#include <QWidget>

#include <functional>

namespace tolva {

class PinEditor : public QWidget {
public:
    explicit PinEditor(bool requireCurrent, QWidget* parent = nullptr);

    bool requireCurrent() const { return current_ != nullptr; }
    QLineEdit* currentField() const { return current_; }
    QLineEdit* newField() const { return new_; }
    QLineEdit* confirmField() const { return confirm_; }

    QString current() const { return current_ ? current_->text() : QString(); }
    QString newPin() const { return new_->text(); }
    QString confirm() const { return confirm_->text(); }

    // Told when the user changes any field (an error shown about the old text goes).
    std::function<void()> onEdited;

private:
    QLineEdit* current_ = nullptr;
    QLineEdit* new_;
    QLineEdit* confirm_;
};

} // namespace tolva
