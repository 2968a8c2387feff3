// PIN form fields.
#include "unlock/PinEditor.h"

#include "TolvaCore/L10n.h"
#include "TolvaCore/PinPolicy.h"

#include <QRegularExpressionValidator>

#include <QVBoxLayout>

namespace tolva {

namespace {
QLineEdit* secureField(const std::string& placeholder, QWidget* parent) {
    auto* field = new QLineEdit(parent);
    field->setEchoMode(QLineEdit::Password);
    field->setPlaceholderText(QString::fromStdString(placeholder));
    field->setInputMethodHints(Qt::ImhDigitsOnly | Qt::ImhSensitiveData | Qt::ImhNoPredictiveText);
    // Only what a PIN can hold is typed at all: ASCII digits, at most the longest PIN.
    field->setMaxLength(int(PinPolicy::maxLength));
    field->setValidator(new QRegularExpressionValidator(
        QRegularExpression(QStringLiteral("[0-9]{0,%1}").arg(PinPolicy::maxLength)), field));
    return field;
}
} // namespace

PinEditor::PinEditor(bool requireCurrent, QWidget* parent) : QWidget(parent) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    if (requireCurrent) {
        current_ = secureField(L10n::Pin::Field::current(), this);
        layout->addWidget(current_);
    }
    new_ = secureField(L10n::Pin::Field::new_(), this);
    confirm_ = secureField(L10n::Pin::Field::confirm(), this);
    layout->addWidget(new_);
    layout->addWidget(confirm_);
    for (QLineEdit* field : {current_, new_, confirm_})
        if (field)
            connect(field, &QLineEdit::textEdited, this, [this] {
                if (onEdited)
                    onEdited();
            });
}

} // namespace tolva
